// The private temporary folder: made when the tests start (not when they are only listed).
#include "support/private_temp_folder.h"

#include <QDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {
namespace {

class PrivateTemporaryFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "updater-tmp-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    ::setenv("TMPDIR", path_.c_str(), 1);
  }
  void TearDown() override {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::string path_;
};

}  // namespace

bool usePrivateTemporaryFolder() {
  static const bool registered =
      (::testing::AddGlobalTestEnvironment(new PrivateTemporaryFolder), true);
  return registered;
}

QStringList strayTemporaryFiles() {
  QStringList names;
  const QFileInfoList entries =
      QDir(QDir::tempPath()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
  for (const QFileInfo& entry : entries) {
    if (entry.isDir() && entry.fileName().startsWith(QLatin1String("updater-test-"))) continue;
    names << entry.fileName();
  }
  return names;
}

}  // namespace testsupport
