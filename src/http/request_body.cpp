// The request's headers and body: adding headers, filling the body in memory or in a file,
// preparing it once for sending, and the method setter.
#include "http/http_request.h"

#include "compression/data_compressor.h"
#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>

namespace http {
namespace {

// Bytes copied at a time when a file is appended to the body.
constexpr qint64 kAppendChunkSize = 262144;

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

void HTTPRequest::setupPostBody() {
  if (shouldStreamPostDataFromDisk_) {
    if (postBodyFilePath_.isEmpty()) {
      postBodyFilePath_ = platform::uniqueTemporaryPath();
      didCreateTemporaryPostDataFile_ = true;
    }
    if (!postBodyWriteStream_) {
      postBodyWriteStream_ = std::make_unique<QFile>(postBodyFilePath_);
      if (!postBodyWriteStream_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
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
  if (shouldStreamPostDataFromDisk_) {
    if (postBodyWriteStream_) postBodyWriteStream_->write(data);
  } else {
    postBody_.append(data);
  }
}

void HTTPRequest::appendPostDataFromFile(const QString& path) {
  setupPostBody();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return;
  for (;;) {
    const QByteArray chunk = file.read(kAppendChunkSize);
    if (chunk.isEmpty()) break;
    appendPostData(chunk);
  }
}

void HTTPRequest::closePostBodyWriteFile() {
  if (!postBodyWriteStream_) return;
  postBodyWriteStream_->close();
  postBodyWriteStream_.reset();
}

void HTTPRequest::buildPostBody() {
  if (haveBuiltPostBody_) return;
  if (!postBodyFilePath_.isEmpty()) {
    closePostBodyWriteFile();
    QString fileToSend = postBodyFilePath_;
    if (shouldCompressRequestBody_) {
      if (compressedPostBodyFilePath_.isEmpty()) {
        compressedPostBodyFilePath_ = platform::uniqueTemporaryPath();
        platform::ErrorPtr error;
        if (!compression::DataCompressor::compressDataFromFile(postBodyFilePath_, compressedPostBodyFilePath_,
                                                               &error)) {
          failWithError(error);
          return;
        }
      }
      fileToSend = compressedPostBodyFilePath_;
    }
    QFileInfo info(fileToSend);
    if (!info.isFile()) {
      failWithError(makeFileError(
          QStringLiteral("Failed to get attributes for file at path '%1'").arg(fileToSend),
          QStringLiteral("No such file")));
      return;
    }
    postLength_ = static_cast<quint64>(info.size());
  } else if (shouldCompressRequestBody_) {
    platform::ErrorPtr error;
    QByteArray compressed = compression::DataCompressor::compressData(postBody_, &error);
    if (error) {
      failWithError(error);
      return;
    }
    compressedPostBody_ = compressed;
    postLength_ = static_cast<quint64>(compressedPostBody_.size());
  } else {
    postLength_ = static_cast<quint64>(postBody_.size());
  }

  if (postLength_ > 0) {
    const QString method = requestMethod();
    if (method == QLatin1String("GET") || method == QLatin1String("DELETE") || method == QLatin1String("HEAD")) {
      setRequestMethod(QStringLiteral("POST"));
    }
    addRequestHeader(QStringLiteral("Content-Length"), QString::number(postLength_));
  }
  haveBuiltPostBody_ = true;
}

}  // namespace http
