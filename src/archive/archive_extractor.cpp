// The extraction driver and ArchiveExtractor. One-entry mode never leaves a partly written
// output: the entry goes to a temporary file beside the output path, renamed over it at the end.
#include "archive/archive_extractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "archive/archive_database.h"
#include "archive/file.h"
#include "archive/folder_decoder.h"
#include "archive/look_ahead_reader.h"
#include "archive/unique_name.h"
#include "archive/utf16.h"

namespace sevenzip {
namespace {

constexpr double kReferenceDateUnix = 978307200.0;  // 2001-01-01 00:00:00 UTC

void printError(const char* text) {
  std::printf("\nERROR: %s\n", text);
  std::fflush(stdout);
}

void logLine(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

std::string tempFolder() {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::temp_directory_path(ec);
  return ec ? std::string("/tmp") : p.string();
}

// Creates a new file beside `path` (same folder, so a rename replaces `path` atomically) with the
// default permissions, opened for writing. Its name is short and hidden, whatever the length of
// `path`'s own name. Returns its name, or "" on failure.
std::string createTempBeside(const std::string& path, File* file) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "";  // a folder is never replaced
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  for (int attempt = 0; attempt < 16; attempt++) {
    std::string name = folder + ".7z-" + uniqueToken() + ".part";
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return "";
    }
    file->file = fdopen(fd, "wb+");
    if (file->file == nullptr) {
      close(fd);
      unlink(name.c_str());
      return "";
    }
    std::setvbuf(file->file, nullptr, _IONBF, 0);  // entries are written in one piece
    return name;
  }
  return "";
}

// Writes the cache's current entry to an open file. Returns 0 or 11 after printing the message.
int writeEntry(File* out, const FolderCache* cache) {
  size_t size = cache->entrySize;
  if (size != 0) {
    size_t written = size;
    if (File_Write(out, cache->outBuffer + cache->entryOffset, &written) != 0 || written != size) {
      printError("can not write output file");
      return ResFail;
    }
  }
  return ResOk;
}

}  // namespace

int extractEntries(const char* archivePath, const char* archiveCachePath, const char* entryName,
                   const char* entryPath, std::optional<uint32_t>* writtenCrc) {
  if (archivePath == nullptr || archiveCachePath == nullptr) return 1;
  bool allFilesMode = entryName == nullptr;
  if (!allFilesMode && (entryName[0] == 0 || entryPath == nullptr || entryPath[0] == 0)) return 1;

  FileInStream archiveStream;
  if (File_OpenForRead(&archiveStream.file, archivePath) != 0) {
    printError("can not open input file");
    return 1;
  }
  LookAheadReader lookStream;
  LookAheadReader_Bind(&lookStream, &archiveStream);
  const Allocator* mainAlloc = &kMainAllocator;
  const Allocator* tempAlloc = &kTempAllocator;

  Archive db;
  Archive_Init(&db);
  ArchiveResult res = Archive_Open(&db, &lookStream, mainAlloc, tempAlloc);
  bool opened = res == ResOk;
  bool extracted = false;
  uint16_t* name = nullptr;
  size_t nameCapacity = 0;
  std::string tempPath;  // one-entry mode: the file being written
  File tempFile;
  std::optional<uint32_t> tempCrc;  // the stored CRC of what tempFile holds, if any

  if (opened) {
    FolderCache cache;
    FolderCache_Init(&cache, mainAlloc);
    cache.mapFilename = archiveCachePath;
    ByteBuffer utf8;
    for (uint32_t i = 0; i < db.core.numFiles && res == ResOk; i++) {
      const FileRecord* file = &db.core.files[i];
      if (file->isDir) continue;
      size_t len = Archive_GetFileNameUtf16(&db, i, nullptr);
      if (len > nameCapacity) {
        mainAlloc->Free(mainAlloc, name);
        nameCapacity = 0;
        name = AllocArray<uint16_t>(mainAlloc, len);
        if (name == nullptr) {
          res = ResOutOfMemory;
          break;
        }
        nameCapacity = len;
      }
      Archive_GetFileNameUtf16(&db, i, name);
      if (!allFilesMode) {
        // A name that cannot be converted equals no requested name.
        ArchiveResult conv = Utf16ToUtf8Name(&utf8, name);
        if (conv == ResOutOfMemory) {
          res = conv;
          break;
        }
        if (conv != ResOk || std::strcmp(reinterpret_cast<char*>(utf8.data), entryName) != 0) continue;
      }
      extracted = true;
      res = Archive_Extract(&db, &lookStream, i, &cache, mainAlloc, tempAlloc);
      if (res != ResOk) break;

      File out;
      if (allFilesMode) {
        size_t base = 0;
        for (size_t j = 0; name[j] != 0; j++)
          if (name[j] == '/') base = j + 1;
        if (File_OpenForWriteUtf16(&out, name + base) != 0) {
          printError("can not open output file");
          res = ResFail;
          break;
        }
        res = writeEntry(&out, &cache);
        if (File_Close(&out) != 0 && res == ResOk) {
          printError("can not close output file");
          res = ResFail;
        }
      } else {
        // Each match rewrites the temporary file; the last one wins.
        if (tempPath.empty()) {
          tempPath = createTempBeside(entryPath, &tempFile);
          if (tempPath.empty()) {
            printError("can not open output file");
            res = ResFail;
            break;
          }
        } else if (std::fflush(tempFile.file) != 0 || ftruncate(fileno(tempFile.file), 0) != 0 ||
                   std::fseek(tempFile.file, 0, SEEK_SET) != 0) {
          printError("can not open output file");
          res = ResFail;
          break;
        }
        res = writeEntry(&tempFile, &cache);
        // Archive_Extract checked a stored CRC against these bytes.
        tempCrc = file->crcDefined ? std::optional<uint32_t>(file->crc) : std::nullopt;
      }
    }
    ByteBuffer_Free(&utf8, &gDefaultAllocator);
    FolderCache_Free(&cache);
  }
  Archive_Free(&db, mainAlloc);
  mainAlloc->Free(mainAlloc, name);
  File_Close(&archiveStream.file);

  if (!tempPath.empty()) {
    if (File_Close(&tempFile) != 0 && res == ResOk) {
      printError("can not close output file");
      res = ResFail;
    }
    if (res == ResOk && std::rename(tempPath.c_str(), entryPath) != 0) {
      printError("can not write output file");
      res = ResFail;
    }
    if (res != ResOk) unlink(tempPath.c_str());
  }

  if (!allFilesMode && !extracted) return 1;
  if (!opened) return 1;
  // The cache file, if one was made, was removed when the cache was released.
  if (res == ResOk) {
    if (writtenCrc != nullptr) *writtenCrc = tempCrc;
    return 0;
  }
  if (res == ResUnsupported) printError("decoder doesn't support this archive");
  else if (res == ResOutOfMemory) printError("can not allocate memory");
  else std::printf("\nERROR #%d\n", res);
  std::fflush(stdout);
  return 1;
}

std::string ArchiveExtractor::generateUniqueTmpCachePath() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  double seconds = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9 - kReferenceDateUnix;
  char text[64];
  std::snprintf(text, sizeof(text), "%f", seconds);
  std::string name;
  for (const char* p = text; *p; p++)
    if (*p != '.' && *p != '-') name += *p;
  // The time alone repeats within a microsecond and across processes: the token makes it unique.
  return (std::filesystem::path(tempFolder()) / (name + "-" + uniqueToken() + ".cache")).string();
}

bool ArchiveExtractor::extractArchiveEntry(const std::string& archivePath, const std::string& archiveEntry,
                                           const std::string& outPath, std::optional<uint32_t>* writtenCrc) {
  std::string cachePath = generateUniqueTmpCachePath();
  return extractEntries(archivePath.c_str(), cachePath.c_str(), archiveEntry.c_str(), outPath.c_str(),
                        writtenCrc) == 0;
}

std::vector<std::string> ArchiveExtractor::extract7zArchive(const std::string& archivePath,
                                                            const std::string& tmpDirName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path dir = fs::path(tempFolder()) / tmpDirName;
  auto fail = [&](const char* what) {
    logLine(std::string("ERROR: ") + what);
    return std::vector<std::string>();
  };
  // The work folder's own name is never followed: a symbolic link (or any other non-folder) there
  // is removed like a plain file, so the contents of its target are left alone.
  fs::file_status status = fs::symlink_status(dir, ec);
  if (fs::exists(status) && !fs::is_directory(status) && !fs::remove(dir, ec))
    return fail("could not remove existing file with same name as tmp dir");
  if (fs::is_directory(fs::symlink_status(dir, ec))) {
    fs::directory_iterator it(dir, ec);
    if (ec) return fail("contentsOfDirectoryAtPath failed");
    for (const auto& entry : it) {
      logLine("found existing dir path: " + entry.path().string());
      fs::remove_all(entry.path(), ec);
      if (ec) return fail("could not remove existing file");
    }
  } else if (!fs::create_directories(dir, ec)) {
    return fail("could not create tmp dir");
  }
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  bool changed = dirFd >= 0 && fchdir(dirFd) == 0;
  if (dirFd >= 0) close(dirFd);
  if (!changed) return fail("cd to tmp 7z dir failed");
  logLine("cd to " + dir.string());
  std::string cachePath = generateUniqueTmpCachePath();
  if (extractEntries(archivePath.c_str(), cachePath.c_str(), nullptr, nullptr) != 0)
    return fail("could not extract files from 7z archive");
  std::vector<std::string> paths;
  fs::directory_iterator it(dir, ec);
  if (ec) return fail("contentsOfDirectoryAtPath failed");
  for (const auto& entry : it) {
    logLine("found existing dir path: " + entry.path().string());
    paths.push_back(entry.path().string());
  }
  return paths;
}

}  // namespace sevenzip
