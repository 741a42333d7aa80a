// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Whole content of a file as bytes ("" when it cannot be read).
std::string readFile(const std::filesystem::path& path);
// Writes `content` to `path`, creating missing parent folders.
void writeFile(const std::filesystem::path& path, const std::string& content);

}  // namespace testsupport
