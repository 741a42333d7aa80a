// Downloading to a file: the temporary files, resuming with a Range request, inflating gzip bodies
// and putting the complete body at the destination path in one step.
#include "http/http_request.h"

#include "compression/data_decompressor.h"
#include "http/file_replacement.h"
#include "http/output_file.h"
#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>

namespace http {
namespace {

// Closes and forgets `file` (nothing to do without one); false when its last bytes could not be
// written.
bool closeOutput(std::unique_ptr<OutputFile>& file, QString* problem) {
  if (!file) return true;
  const bool closed = file->close(problem);
  file.reset();
  return closed;
}

// The error of a download file that could not be written.
platform::ErrorPtr writeError(const QString& path, const QString& problem) {
  return makeFileError(QStringLiteral("Failed to write to file at path '%1'").arg(path), problem);
}

}  // namespace

void HTTPRequest::writeDownloadData(const QByteArray& raw) {
  QString problem;
  const bool inflating = isResponseCompressed() && !shouldWaitToInflateCompressedResponses_;
  // A failure once this request has begun its files also discards them (a resumable download
  // keeps what it wrote), as every other failure of a transfer does.
  const auto discardAndFail = [this](const platform::ErrorPtr& error) {
    cancelLoad();
    failWithError(error);
  };
  const auto writeFailed = [&](const QString& path) { discardAndFail(writeError(path, problem)); };
  if (!fileDownloadOutputStream_) {
    bool append = false;
    if (temporaryFileDownloadPath_.isEmpty()) {
      temporaryFileDownloadPath_ = platform::uniqueTemporaryPath();
    } else if (allowResumeForFileDownloads_ && requestHeaders_.contains(QStringLiteral("Range"))) {
      if (responseHeaders_ && responseHeaders_->contains(QStringLiteral("Content-Range"))) {
        append = true;  // the server resumed where the file ends
      } else {
        // The server sent the whole body: the file starts again and the resumed size goes back.
        incrementDownloadSizeBy(-static_cast<qint64>(partialDownloadSize_));
        attemptDownloadSize_ -= static_cast<qint64>(partialDownloadSize_);
        partialDownloadSize_ = 0;
      }
    }
    fileDownloadOutputStream_ =
        OutputFile::open(temporaryFileDownloadPath_, append, false, &problem);
    // Nothing of this request's is in a file it could not open.
    if (!fileDownloadOutputStream_) return failWithError(writeError(temporaryFileDownloadPath_, problem));
    if (inflating) {
      if (temporaryUncompressedDataDownloadPath_.isEmpty()) {
        temporaryUncompressedDataDownloadPath_ = platform::uniqueTemporaryPath();
      }
      inflatedFileDownloadOutputStream_ =
          OutputFile::open(temporaryUncompressedDataDownloadPath_, append, true, &problem);
      if (!inflatedFileDownloadOutputStream_) return writeFailed(temporaryUncompressedDataDownloadPath_);
    }
  }
  if (!fileDownloadOutputStream_->write(raw.constData(), raw.size(), &problem)) {
    return writeFailed(temporaryFileDownloadPath_);
  }
  if (inflating && inflatedFileDownloadOutputStream_ && dataDecompressor_) {
    bool written = true;
    platform::ErrorPtr inflateError;
    const bool inflated = dataDecompressor_->uncompressBytes(
        raw.constData(), raw.size(),
        [this, &problem, &written](const char* piece, qsizetype size) {
          written = inflatedFileDownloadOutputStream_->write(piece, size, &problem);
          return written;
        },
        &inflateError);
    if (!written) {
      writeFailed(temporaryUncompressedDataDownloadPath_);
    } else if (!inflated) {
      discardAndFail(inflateError);
    }
  }
}

bool HTTPRequest::closeDownloadOutputs() {
  QString problem;
  const bool rawClosed = closeOutput(fileDownloadOutputStream_, &problem);
  const bool inflatedClosed = closeOutput(inflatedFileDownloadOutputStream_, &problem);
  return rawClosed && inflatedClosed;
}

bool HTTPRequest::resumedIntoPartialFile() const {
  return allowResumeForFileDownloads_ && partialDownloadSize_ != 0 &&
         requestHeaders_.contains(QStringLiteral("Range")) && responseHeaders_ &&
         responseHeaders_->contains(QStringLiteral("Content-Range"));
}

platform::ErrorPtr HTTPRequest::downloadSizeError(qint64 fileSize) const {
  if (!responseHeaders_ || responseStatusCode_ == 204 || responseStatusCode_ == 304 ||
      requestMethod_ == QLatin1String("HEAD")) {
    return nullptr;
  }
  std::optional<quint64> expected;
  if (resumedIntoPartialFile()) {
    // "bytes first-last/complete-length" (RFC 9110 section 14.4): the file must be complete.
    const QString range = responseHeaders_->value(QStringLiteral("Content-Range"));
    const qsizetype slash = range.lastIndexOf(QLatin1Char('/'));
    bool ok = false;
    const quint64 total = slash < 0 ? 0 : range.mid(slash + 1).trimmed().toULongLong(&ok);
    if (ok) expected = total;
  }
  if (!expected && responseHeaders_->contains(QStringLiteral("Content-Length"))) {
    bool ok = false;
    const quint64 length = responseHeaders_->value(QStringLiteral("Content-Length")).trimmed().toULongLong(&ok);
    if (ok) expected = length + (resumedIntoPartialFile() ? partialDownloadSize_ : 0);
  }
  if (!expected || *expected == static_cast<quint64>(fileSize)) return nullptr;
  return platform::Error::make(
      NetworkRequestErrorDomain, ConnectionFailureErrorType, QStringLiteral("A connection failure occurred"),
      QStringLiteral("The download holds %1 bytes where the server announced %2").arg(fileSize).arg(*expected));
}

void HTTPRequest::updatePartialDownloadSize() {
  if (!allowResumeForFileDownloads_ || downloadDestinationPath_.isEmpty() ||
      temporaryFileDownloadPath_.isEmpty() || !QFileInfo::exists(temporaryFileDownloadPath_)) {
    return;
  }
  QFileInfo info(temporaryFileDownloadPath_);
  if (!info.isFile()) {
    failWithError(makeFileError(
        QStringLiteral("Failed to get attributes for file at path '%1'").arg(temporaryFileDownloadPath_),
        QStringLiteral("not a regular file")));
    return;
  }
  partialDownloadSize_ = static_cast<quint64>(info.size());
}

platform::ErrorPtr HTTPRequest::finishDownloadFiles() {
  if (downloadDestinationPath_.isEmpty()) return nullptr;
  if (needsRedirect_ || authenticationNeeded_ != 0) {
    // A redirect or a challenge is never the download, and the destination changes only for a
    // request that ends in success: a resumable file waits for the next attempt, anything else
    // is dropped.
    fileDownloadOutputStream_.reset();
    inflatedFileDownloadOutputStream_.reset();
    if (!allowResumeForFileDownloads_) {
      removeTemporaryDownloadFile();
      removeTemporaryUncompressedDownloadFile();
    }
    return nullptr;
  }
  // Bytes that went to a data callback never reach a file.
  if (!fileDownloadOutputStream_ && dataGoesToCallback()) return nullptr;
  if (!fileDownloadOutputStream_ && !resumedIntoPartialFile()) {
    // No body arrived in this attempt: the download is an empty file, put in place like any
    // other (a partial file left by an earlier attempt is not this response's body).
    if (temporaryFileDownloadPath_.isEmpty()) temporaryFileDownloadPath_ = platform::uniqueTemporaryPath();
    QString problem;
    if (!OutputFile::open(temporaryFileDownloadPath_, false, false, &problem)) {
      return writeError(temporaryFileDownloadPath_, problem);
    }
  }

  // The size of a file written from its start is where writing ended; a resumed or empty one
  // is asked from the file system.
  const qint64 writtenSize =
      fileDownloadOutputStream_ && !resumedIntoPartialFile() ? fileDownloadOutputStream_->pos() : -1;
  QString problem;
  const bool rawClosed = closeOutput(fileDownloadOutputStream_, &problem);
  const bool inflatedClosed = closeOutput(inflatedFileDownloadOutputStream_, &problem);
  if (!rawClosed || !inflatedClosed) {
    platform::ErrorPtr error = writeError(temporaryFileDownloadPath_, problem);
    if (!allowResumeForFileDownloads_) removeTemporaryDownloadFile();
    removeTemporaryUncompressedDownloadFile();
    return error;
  }
  // A body whose size disagrees with what the server announced is never delivered as a success.
  const qint64 fileSize = writtenSize >= 0 ? writtenSize : QFileInfo(temporaryFileDownloadPath_).size();
  if (platform::ErrorPtr sizeError = downloadSizeError(fileSize)) {
    removeTemporaryDownloadFile();
    removeTemporaryUncompressedDownloadFile();
    return sizeError;
  }

  platform::ErrorPtr fileError;
  if (isResponseCompressed()) {
    if (shouldWaitToInflateCompressedResponses_) {
      // Inflated beside the download, then put in place like any other file, so that a link at
      // the destination is replaced, never written through.
      const QString inflated = platform::uniqueTemporaryPath();
      if (compression::DataDecompressor::uncompressDataFromFile(temporaryFileDownloadPath_, inflated,
                                                                &fileError) &&
          !replaceFile(inflated, downloadDestinationPath_, &problem)) {
        fileError = makeFileError(QStringLiteral("Failed to move file from '%1' to '%2'")
                                      .arg(inflated, downloadDestinationPath_),
                                  problem);
      }
      QFile::remove(inflated);
    } else {
      if (!replaceFile(temporaryUncompressedDataDownloadPath_, downloadDestinationPath_, &problem)) {
        fileError = makeFileError(QStringLiteral("Failed to move file from '%1' to '%2'")
                                      .arg(temporaryUncompressedDataDownloadPath_, downloadDestinationPath_),
                                  problem);
        removeTemporaryUncompressedDownloadFile();
      }
      temporaryUncompressedDataDownloadPath_.clear();
    }
    removeTemporaryDownloadFile();
  } else {
    if (!replaceFile(temporaryFileDownloadPath_, downloadDestinationPath_, &problem)) {
      fileError = makeFileError(QStringLiteral("Failed to move file from '%1' to '%2'")
                                    .arg(temporaryFileDownloadPath_, downloadDestinationPath_),
                                problem);
      if (!allowResumeForFileDownloads_) removeTemporaryDownloadFile();
    }
    temporaryFileDownloadPath_.clear();
  }
  return fileError;
}

// ---- Removing temporary files -------------------------------------------------------------------

bool HTTPRequest::removeFileAtPath(const QString& path, platform::ErrorPtr* error) {
  QFileInfo info(path);
  if (!info.exists() && !info.isSymLink()) return true;
  QFile file(path);
  if (file.remove()) return true;
  if (error) {
    *error = makeFileError(QStringLiteral("Failed to delete file at path '%1'").arg(path), file.errorString());
  }
  return false;
}

bool HTTPRequest::removeTemporaryFile(QString* pathField) {
  bool ok = true;
  if (!pathField->isEmpty()) {
    platform::ErrorPtr error;
    if (!removeFileAtPath(*pathField, &error)) {
      failWithError(error);
      ok = false;
    }
  }
  pathField->clear();
  return ok;
}

bool HTTPRequest::removeTemporaryDownloadFile() { return removeTemporaryFile(&temporaryFileDownloadPath_); }
bool HTTPRequest::removeTemporaryUncompressedDownloadFile() {
  return removeTemporaryFile(&temporaryUncompressedDataDownloadPath_);
}
bool HTTPRequest::removeTemporaryUploadFile() { return removeTemporaryFile(&postBodyFilePath_); }
bool HTTPRequest::removeTemporaryCompressedUploadFile() {
  return removeTemporaryFile(&compressedPostBodyFilePath_);
}

}  // namespace http
