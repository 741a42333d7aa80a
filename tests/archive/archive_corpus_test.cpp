// Walks the archive fixtures listed in tests/data/README.md and checks each line's expected exit
// status and printed text; good archives are compared entry by entry with bsdtar's extraction.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "archive/archive_extractor.h"
#include "support/temp_dir.h"
#include "test_util.h"

using namespace sevenzip;
using namespace archivetest;
namespace fs = std::filesystem;

namespace {

const fs::path kDataDir = ARCHIVE_TEST_DATA_DIR;

std::vector<std::string> split(const std::string& line, const std::string& sep) {
  std::vector<std::string> out;
  size_t start = 0, at;
  while ((at = line.find(sep, start)) != std::string::npos) {
    out.push_back(line.substr(start, at - start));
    start = at + sep.size();
  }
  out.push_back(line.substr(start));
  return out;
}

std::string unescape(const std::string& s) {
  if (s == "-") return "";
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
      out += '\n';
      i++;
    } else {
      out += s[i];
    }
  }
  return out;
}

// File entries of an archive as bsdtar lists them.
std::vector<std::string> listEntries(const fs::path& archive, const fs::path& scratch) {
  fs::path list = scratch / "list.txt";
  EXPECT_EQ(run("bsdtar -tvf '" + archive.string() + "' | grep '^-' | awk '{ $1=$2=$3=$4=$5=$6=$7=$8=\"\"; sub(/^ +/, \"\"); print }' > '" +
                list.string() + "'"),
            0);
  std::ifstream in(list);
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) names.push_back(line);
  return names;
}

int extractOne(const fs::path& archive, const std::string& entry, const fs::path& out, std::string* printed) {
  testing::internal::CaptureStdout();
  int r = extractEntries(archive.c_str(), (out.string() + ".cache").c_str(), entry.c_str(), out.c_str());
  *printed = testing::internal::GetCapturedStdout();
  return r;
}

}  // namespace

TEST(ArchiveCorpus, EveryFileGivesItsExpectedResult) {
  std::ifstream readme(kDataDir.parent_path() / "README.md");
  ASSERT_TRUE(readme.good());
  int lines = 0;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("archive/", 0) != 0) continue;
    std::vector<std::string> f = split(line, " | ");
    ASSERT_GE(f.size(), 5u) << line;
    SCOPED_TRACE(line);
    lines++;
    fs::path archive = kDataDir.parent_path() / f[0];
    testsupport::TempDir dir;
    std::vector<std::string> entries = f[1] == "*" ? listEntries(archive, dir.path()) : std::vector<std::string>{f[1]};
    ASSERT_FALSE(entries.empty());
    for (const std::string& entry : entries) {
      SCOPED_TRACE(entry);
      std::string printed;
      int r = extractOne(archive, entry, dir / "out", &printed);
      EXPECT_EQ(r, std::stoi(f[2]));
      EXPECT_EQ(printed, unescape(f[3]));
      if (r == 0) {
        ASSERT_EQ(run("bsdtar -xOf '" + archive.string() + "' '" + entry + "' > '" + (dir / "expected").string() + "'"), 0);
        EXPECT_TRUE(readBytes(dir / "out") == readBytes(dir / "expected"));
      }
    }
  }
  EXPECT_GE(lines, 8);
}
