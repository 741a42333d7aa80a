// Request bodies read as a stream: from memory and from a file.
// The file source reads with stdio so that it carries no thread affinity.
#include "http/transport/body_stream.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace http::transport {

BodyStream::~BodyStream() = default;

bool MemoryBodyStream::open() {
  position_ = 0;
  return true;
}

qint64 MemoryBodyStream::read(char* buffer, qint64 maxLength) {
  const qint64 n = std::min<qint64>(maxLength, data_.size() - position_);
  if (n <= 0) return 0;
  std::memcpy(buffer, data_.constData() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

FileBodyStream::~FileBodyStream() { close(); }

bool FileBodyStream::open() {
  close();
  file_ = std::fopen(QFile::encodeName(path_).constData(), "rb");
  if (file_ == nullptr) {
    error_ = QStringLiteral("Cannot open the request body file %1: %2")
                 .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  return true;
}

qint64 FileBodyStream::read(char* buffer, qint64 maxLength) {
  if (file_ == nullptr) {
    error_ = QStringLiteral("The request body file %1 is not open").arg(path_);
    return -1;
  }
  const size_t n = std::fread(buffer, 1, static_cast<size_t>(maxLength), file_);
  if (n == 0 && std::ferror(file_)) {
    error_ = QStringLiteral("Cannot read the request body file %1: %2")
                 .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
    return -1;
  }
  return static_cast<qint64>(n);
}

void FileBodyStream::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

}  // namespace http::transport
