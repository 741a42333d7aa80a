// extract_7z: command-line driver of the 7z extraction front end, used by benchmarks and checks.
//   extract_7z ARCHIVE [ARCHIVE...]  extracts every file of each archive into the current folder
//   extract_7z -1 ARCHIVE ENTRY OUT  extracts one entry to OUT (also: extract_7z ARCHIVE ENTRY OUT)
// Exit status 0 exactly when every driver call returned 0.
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive_extractor.h"

using sevenzip::ArchiveExtractor;
using sevenzip::extractEntries;

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "-1") != 0) {
    std::string cache = ArchiveExtractor::generateUniqueTmpCachePath();
    return extractEntries(argv[1], cache.c_str(), argv[2], argv[3]) == 0 ? 0 : 1;
  }
  if (argc == 5 && std::strcmp(argv[1], "-1") == 0)
    return ArchiveExtractor::extractArchiveEntry(argv[2], argv[3], argv[4]) ? 0 : 1;
  if (argc < 2) {
    std::fprintf(stderr, "usage: extract_7z ARCHIVE... | extract_7z ARCHIVE ENTRY OUT\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; i++) {
    std::string cache = ArchiveExtractor::generateUniqueTmpCachePath();
    if (extractEntries(argv[i], cache.c_str(), nullptr, nullptr) != 0) status = 1;
  }
  return status;
}
