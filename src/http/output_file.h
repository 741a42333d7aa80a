// The file a download's body goes into: created or appended to, written through its descriptor
// (a file object of the toolkit cost each small download more than its write).
#pragma once

#include <QString>

#include <memory>
#include <vector>

namespace http {

class OutputFile {
 public:
  // Opens `path` for writing: appended to when `append`, otherwise made empty (created when
  // missing). `buffered` gathers small writes (an inflated body comes in small pieces); a body's
  // own pieces go straight to the file. Null with `problem` set when the file cannot be opened.
  static std::unique_ptr<OutputFile> open(const QString& path, bool append, bool buffered,
                                          QString* problem);
  ~OutputFile();  // closes; what is still buffered is dropped
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes everything or says why not.
  bool write(const char* data, qint64 length, QString* problem);
  // Where the next byte goes (the file's size for one written from its start).
  qint64 pos() const { return position_; }
  // Writes what is buffered and closes; false when that could not be written (a full disk).
  bool close(QString* problem);

 private:
  OutputFile(int descriptor, qint64 position, bool buffered);
  bool writeOut(const char* data, qint64 length, QString* problem);

  int descriptor_;
  qint64 position_;
  std::vector<char> buffer_;
  bool buffered_;
};

}  // namespace http
