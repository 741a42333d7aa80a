// extract_all: extracts every add-on archive under a folder in this one process, the way the
// updater does after its downloads, and prints the time that took (extraction only, no network).
//
//   extract_all [--keep] FOLDER
//
// Each FOLDER/<path>/<name>.7z is extracted as its entry <name> to FOLDER/<path>/<name>, then
// removed (kept with --keep). Prints "<archives> archives, <bytes> bytes written, <seconds> s" on
// stdout. Exit status 0 when every archive gave its file, 1 when any failed, 2 on wrong usage.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive_extractor.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSuffix = ".7z";

bool isArchive(const fs::directory_entry& entry) {
  const std::string name = entry.path().filename().string();
  return entry.is_regular_file() && name.size() > kSuffix.size() && name.ends_with(kSuffix);
}

}  // namespace

int main(int argc, char** argv) {
  bool keep = false;
  int arg = 1;
  if (arg < argc && std::strcmp(argv[arg], "--keep") == 0) {
    keep = true;
    ++arg;
  }
  if (arg + 1 != argc) {
    std::fprintf(stderr, "usage: extract_all [--keep] FOLDER\n");
    return 2;
  }

  // The listing is made first, so that the timed part is the extraction alone.
  std::vector<fs::path> archives;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(argv[arg], ec), end; !ec && it != end; it.increment(ec)) {
    if (isArchive(*it)) archives.push_back(it->path());
  }
  if (ec) {
    std::fprintf(stderr, "extract_all: cannot list %s: %s\n", argv[arg], ec.message().c_str());
    return 2;
  }
  std::sort(archives.begin(), archives.end());

  int failures = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const fs::path& archive : archives) {
    const std::string archivePath = archive.string();
    const std::string outPath = archivePath.substr(0, archivePath.size() - kSuffix.size());
    const std::string entry = fs::path(outPath).filename().string();
    if (!sevenzip::ArchiveExtractor::extractArchiveEntry(archivePath, entry, outPath)) {
      std::fprintf(stderr, "extract_all: %s: extraction failed\n", archivePath.c_str());
      ++failures;
    }
    if (!keep) fs::remove(archive, ec);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  uintmax_t bytes = 0;
  for (const fs::path& archive : archives) {
    const std::string path = archive.string();
    const uintmax_t size = fs::file_size(path.substr(0, path.size() - kSuffix.size()), ec);
    if (!ec) bytes += size;
  }
  std::printf("%zu archives, %ju bytes written, %.3f s\n", archives.size(), bytes, seconds);
  return failures == 0 ? 0 : 1;
}
