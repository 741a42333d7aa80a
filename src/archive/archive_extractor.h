// The extraction front end: ArchiveExtractor's class operations and the driver extractEntries,
// which opens a 7z archive, walks its entries and writes the wanted ones to disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sevenzip {

// Class operations only (never instantiated). Thread: any, any number of extractions at once;
// extract7zArchive changes the process's current directory.
class ArchiveExtractor {
 public:
  ArchiveExtractor() = delete;

  // The temporary folder joined with "<T>-<token>.cache", T being the current time in seconds
  // since 2001-01-01 UTC printed with six decimals, without "." and "-", and the token the process
  // id, a per-process counter and random digits: every call, in any thread or process, returns a
  // new path.
  static std::string generateUniqueTmpCachePath();

  // Writes the file entry named `archiveEntry` (full stored name, "/" separated, compared byte for
  // byte in UTF-8) of the archive at `archivePath` to `outPath`, through a fresh cache path.
  // Returns true exactly when the entry existed and outPath now holds its complete bytes, with the
  // archive's CRCs verified. On false, outPath keeps whatever it held before.
  // When `writtenCrc` is given, a true result also sets it to the CRC-32 of the bytes written
  // when the archive stores one for the entry (it was checked against them), else to none.
  static bool extractArchiveEntry(const std::string& archivePath, const std::string& archiveEntry,
                                  const std::string& outPath, std::optional<uint32_t>* writtenCrc = nullptr);

  // Extracts every file of the archive, flat, into the temporary folder joined with `tmpDirName`
  // (emptied or created first; the current directory is changed to it). Returns the full paths of
  // the items found there afterwards; on any failure an empty list (the reason is logged).
  static std::vector<std::string> extract7zArchive(const std::string& archivePath, const std::string& tmpDirName);
};

// The extraction driver. All-files mode (entryName null): every file entry is written under the
// part of its name after the last "/" in the current directory. One-entry mode: every file entry
// named entryName is decoded and the last one replaces entryPath (through a temporary file beside
// it, renamed over entryPath only when everything succeeded). archiveCachePath names the cache
// file for large folders: it is created new (another name beside it is used when it exists) and
// removed when released; an existing file of that name is never touched. Returns 0 on success, 1 on any failure, after
// printing one "ERROR" line on standard output unless the archive could not be read as a 7z
// archive or no entry matched. An empty entryName or a missing entryPath is a plain failure.
// One-entry mode with `writtenCrc`: on success it holds the stored (and checked) CRC-32 of the
// entry written, or none when the archive stores none for it.
int extractEntries(const char* archivePath, const char* archiveCachePath, const char* entryName,
                   const char* entryPath, std::optional<uint32_t>* writtenCrc = nullptr);

}  // namespace sevenzip
