// The request's headers and body: adding headers, filling the body in memory or in a file,
// preparing it once for sending, the stream the transport reads it from, and the method setter.
#include "http/http_request.h"

#include "compression/data_compressor.h"
#include "http/transport/body_stream.h"
#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>

namespace http {
namespace {

// Bytes copied at a time when a file is appended to the body.
constexpr qint64 kAppendChunkSize = 262144;

platform::ErrorPtr readError(const QString& path, const QString& why) {
  return makeFileError(QStringLiteral("Failed to read from file at path '%1'").arg(path), why);
}

platform::ErrorPtr writeError(const QString& path, const QString& why) {
  return makeFileError(QStringLiteral("Failed to write to file at path '%1'").arg(path), why);
}

platform::ErrorPtr attributesError(const QString& path, const QString& why) {
  return makeFileError(QStringLiteral("Failed to get attributes for file at path '%1'").arg(path), why);
}

bool isBodyMethodSwitchedToPost(const QString& method) {
  return method == QLatin1String("GET") || method == QLatin1String("DELETE") ||
         method == QLatin1String("HEAD");
}

}  // namespace

void HTTPRequest::addRequestHeader(const QString& name, const QString& value) {
  requestHeaders_.insert(name, value);
}

void HTTPRequest::setRequestMethod(const QString& method) {
  std::lock_guard lock(cancelledLock_);
  if (method.isSharedWith(requestMethod_)) return;
  requestMethod_ = method;
  if (method == QLatin1String("POST") || method == QLatin1String("PUT") || !postBody_.isEmpty() ||
      !postBodyFilePath_.isEmpty()) {
    shouldAttemptPersistentConnection_ = false;
  }
}

void HTTPRequest::notePostBodyError(const platform::ErrorPtr& error) {
  if (!postBodyError_) postBodyError_ = error;
}

void HTTPRequest::failPostBody(const platform::ErrorPtr& error) {
  notePostBodyError(error);
  // Not started yet (a queue building the body as the request is added): the queue would never
  // hear of a failure reported now. The start builds again and reports it then.
  if (inProgress_) failWithError(postBodyError_);
}

void HTTPRequest::setupPostBody() {
  if (shouldStreamPostDataFromDisk_) {
    if (postBodyFilePath_.isEmpty()) {
      postBodyFilePath_ = platform::uniqueTemporaryPath();
      didCreateTemporaryPostDataFile_ = true;
    }
    if (!postBodyWriteStream_) {
      // An existing file at the path is rewritten from the start.
      postBodyWriteStream_ = std::make_unique<QFile>(postBodyFilePath_);
      if (!postBodyWriteStream_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        notePostBodyError(writeError(postBodyFilePath_, postBodyWriteStream_->errorString()));
        postBodyWriteStream_.reset();
      }
    }
  } else if (postBody_.isNull()) {
    postBody_ = QByteArray("");
  }
}

void HTTPRequest::appendPostData(const QByteArray& data) {
  setupPostBody();
  if (data.isEmpty()) return;
  if (!shouldStreamPostDataFromDisk_) {
    postBody_.append(data);
    return;
  }
  if (!postBodyWriteStream_) return;  // the body file could not be opened: already noted
  if (postBodyWriteStream_->write(data) != data.size()) {
    // A body with a hole must never be sent: the failure is kept for buildPostBody.
    notePostBodyError(writeError(postBodyFilePath_, postBodyWriteStream_->errorString()));
  }
}

void HTTPRequest::appendPostDataFromFile(const QString& path) {
  setupPostBody();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    notePostBodyError(readError(path, file.errorString()));
    return;
  }
  // The size when opened: a file that yields fewer bytes was cut short while being read.
  const qint64 expected = file.isSequential() ? -1 : file.size();
  qint64 copied = 0;
  for (;;) {
    const QByteArray chunk = file.read(kAppendChunkSize);
    if (chunk.isEmpty()) {
      if (file.error() != QFileDevice::NoError) {
        notePostBodyError(readError(path, file.errorString()));
        return;
      }
      break;
    }
    copied += chunk.size();
    appendPostData(chunk);
  }
  if (expected >= 0 && copied < expected) {
    notePostBodyError(readError(
        path, QStringLiteral("The file ended after %1 of its %2 bytes").arg(copied).arg(expected)));
  }
}

void HTTPRequest::closePostBodyWriteFile() {
  if (!postBodyWriteStream_) return;
  // Bytes still buffered are written now; a failure here would leave the body short.
  if (!postBodyWriteStream_->flush()) {
    notePostBodyError(writeError(postBodyFilePath_, postBodyWriteStream_->errorString()));
  }
  postBodyWriteStream_->close();
  postBodyWriteStream_.reset();
}

void HTTPRequest::buildPostBody() {
  if (haveBuiltPostBody_) return;
  closePostBodyWriteFile();
  if (postBodyError_) {
    failPostBody(postBodyError_);
    return;
  }
  if (!postBodyFilePath_.isEmpty()) {
    QString fileToSend = postBodyFilePath_;
    if (shouldCompressRequestBody_) {
      if (compressedPostBodyFilePath_.isEmpty()) {
        compressedPostBodyFilePath_ = platform::uniqueTemporaryPath();
        didCreateCompressedPostBodyFile_ = true;
        platform::ErrorPtr error;
        if (!compression::DataCompressor::compressDataFromFile(postBodyFilePath_,
                                                               compressedPostBodyFilePath_, &error)) {
          failPostBody(error);
          return;
        }
      }
      fileToSend = compressedPostBodyFilePath_;
    }
    const QFileInfo info(fileToSend);
    if (!info.isFile()) {
      failPostBody(attributesError(fileToSend, info.exists() ? QStringLiteral("Not a regular file")
                                                             : QStringLiteral("No such file")));
      return;
    }
    postLength_ = static_cast<quint64>(info.size());
  } else if (shouldCompressRequestBody_) {
    platform::ErrorPtr error;
    const QByteArray compressed = compression::DataCompressor::compressData(postBody_, &error);
    if (error) {
      failPostBody(error);
      return;
    }
    compressedPostBody_ = compressed;
    postLength_ = static_cast<quint64>(compressedPostBody_.size());
  } else {
    postLength_ = static_cast<quint64>(postBody_.size());
  }

  if (postLength_ > 0) {
    if (isBodyMethodSwitchedToPost(requestMethod())) setRequestMethod(QStringLiteral("POST"));
    addRequestHeader(QStringLiteral("Content-Length"), QString::number(postLength_));
  }
  haveBuiltPostBody_ = true;
}

bool HTTPRequest::makePostBodyReadStream() {
  postBodyReadStream_.reset();
  // Nothing to send: no body, or a redirect that turned the request into a GET dropped it.
  if (postLength_ == 0) return true;
  if (!postBodyFilePath_.isEmpty()) {
    const bool compressed = !compressedPostBodyFilePath_.isEmpty() &&
                            QFileInfo::exists(compressedPostBodyFilePath_);
    const QString path = compressed ? compressedPostBodyFilePath_ : postBodyFilePath_;
    if (!QFileInfo(path).isFile()) {
      // The file was measured when the body was built and has gone since.
      failWithError(attributesError(path, QStringLiteral("No such file")));
      return false;
    }
    postBodyReadStream_ = std::make_shared<transport::FileBodyStream>(path);
  } else {
    const bool compressed = shouldCompressRequestBody_ && !compressedPostBody_.isEmpty();
    postBodyReadStream_ =
        std::make_shared<transport::MemoryBodyStream>(compressed ? compressedPostBody_ : postBody_);
  }
  return true;
}

void HTTPRequest::discardTemporaryUploadFiles() {
  if (postBodyWriteStream_) {
    postBodyWriteStream_->close();
    postBodyWriteStream_.reset();
  }
  if (didCreateTemporaryPostDataFile_ || didCreateCompressedPostBodyFile_) {
    if (!compressedPostBodyFilePath_.isEmpty()) QFile::remove(compressedPostBodyFilePath_);
    compressedPostBodyFilePath_.clear();
    didCreateCompressedPostBodyFile_ = false;
  }
  if (didCreateTemporaryPostDataFile_) {
    if (!postBodyFilePath_.isEmpty()) QFile::remove(postBodyFilePath_);
    postBodyFilePath_.clear();
    didCreateTemporaryPostDataFile_ = false;
  }
}

}  // namespace http
