// extract_7z: command-line driver of the 7z extraction front end, used by benchmarks and checks.
//   extract_7z ARCHIVE [ARCHIVE...]  extracts every file of each archive into the current folder
//   extract_7z -1 ARCHIVE ENTRY OUT  extracts one entry to OUT
// The mode is always explicit: a list of three archives is three archives, never one entry.
// Exit status 0 exactly when every driver call returned 0; 2 for a wrong command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive_extractor.h"

using sevenzip::ArchiveExtractor;
using sevenzip::extractEntries;

int main(int argc, char** argv) {
  auto usage = [] {
    std::fprintf(stderr, "usage: extract_7z ARCHIVE... | extract_7z -1 ARCHIVE ENTRY OUT\n");
    return 2;
  };
  if (argc >= 2 && std::strcmp(argv[1], "-1") == 0) {
    if (argc != 5) return usage();
    return ArchiveExtractor::extractArchiveEntry(argv[2], argv[3], argv[4]) ? 0 : 1;
  }
  if (argc < 2) return usage();
  for (int i = 1; i < argc; i++)
    if (argv[i][0] == '-') return usage();  // no other option: an archive named "-x" is "./-x"
  int status = 0;
  for (int i = 1; i < argc; i++) {
    std::string cache = ArchiveExtractor::generateUniqueTmpCachePath();
    if (extractEntries(argv[i], cache.c_str(), nullptr, nullptr) != 0) status = 1;
  }
  return status;
}
