// Download body files written through their descriptor.
#include "http/output_file.h"

#include "http/file_replacement.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace http {
namespace {

constexpr std::size_t kBufferSize = 16384;

}  // namespace

std::unique_ptr<OutputFile> OutputFile::open(const QString& path, bool append, bool buffered,
                                             QString* problem) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  int descriptor = -1;
  do {
    descriptor = ::open(nativePath(path).constData(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    *problem = systemError(errno);
    return nullptr;
  }
  const qint64 position = append ? ::lseek(descriptor, 0, SEEK_END) : 0;
  return std::unique_ptr<OutputFile>(
      new OutputFile(descriptor, position < 0 ? 0 : position, buffered));
}

OutputFile::OutputFile(int descriptor, qint64 position, bool buffered)
    : descriptor_(descriptor), position_(position), buffered_(buffered) {}

OutputFile::~OutputFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

bool OutputFile::write(const char* data, qint64 length, QString* problem) {
  if (length <= 0) return true;
  position_ += length;
  if (!buffered_) return writeOut(data, length, problem);
  if (buffer_.size() + static_cast<std::size_t>(length) > kBufferSize) {
    if (!writeOut(buffer_.data(), static_cast<qint64>(buffer_.size()), problem)) return false;
    buffer_.clear();
    if (static_cast<std::size_t>(length) >= kBufferSize) return writeOut(data, length, problem);
  }
  if (buffer_.capacity() < kBufferSize) buffer_.reserve(kBufferSize);
  buffer_.insert(buffer_.end(), data, data + length);
  return true;
}

bool OutputFile::writeOut(const char* data, qint64 length, QString* problem) {
  while (length > 0) {
    const ssize_t written = ::write(descriptor_, data, static_cast<std::size_t>(length));
    if (written < 0) {
      if (errno == EINTR) continue;
      *problem = systemError(errno);
      return false;
    }
    data += written;
    length -= written;
  }
  return true;
}

bool OutputFile::close(QString* problem) {
  bool ok = true;
  if (!buffer_.empty()) {
    ok = writeOut(buffer_.data(), static_cast<qint64>(buffer_.size()), problem);
    buffer_.clear();
  }
  if (::close(descriptor_) != 0 && ok && errno != EINTR) {
    *problem = systemError(errno);
    ok = false;
  }
  descriptor_ = -1;
  return ok;
}

}  // namespace http
