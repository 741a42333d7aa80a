// The form request: its items, the URL-encoded and multipart body writers, and copying.
#include "form/form_data_request.h"

#include "form/form_text.h"
#include "http/string_encodings.h"

#include <QFileInfo>
#include <QUuid>

namespace form {
namespace {

// Every multipart body gets a boundary of its own: this prefix and a fresh UUID.
const QString kBoundaryPrefix = QStringLiteral("0xKhTmLbOuNdArY-");
const QString kLineEnd = QStringLiteral("\r\n");

bool hasItems(const auto& list) { return list && !list->isEmpty(); }

}  // namespace

const platform::MethodTable& FormDataRequest::classMethods() {
  static const platform::MethodTable table(&http::HTTPRequest::classMethods(), {});
  return table;
}

FormDataRequest::FormDataRequest(const QUrl& url) : http::HTTPRequest(url) {
  setRequestMethod(QStringLiteral("POST"));
}

std::shared_ptr<FormDataRequest> FormDataRequest::requestWithURL(const QUrl& url) {
  return std::make_shared<FormDataRequest>(url);
}

std::shared_ptr<http::HTTPRequest> FormDataRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<FormDataRequest>(url);
}

// ---- Items ------------------------------------------------------------------------------------

void FormDataRequest::addPostValue(const QVariant& value, const QString& key) {
  if (key.isNull()) return;
  if (!postData_) postData_.emplace();
  postData_->append(ValueItem{key, value.toString()});
}

void FormDataRequest::setPostValue(const QVariant& value, const QString& key) {
  if (postData_) {
    postData_->removeIf([&key](const ValueItem& item) { return item.key == key; });
  }
  addPostValue(value, key);
}

void FormDataRequest::addFile(const QString& path, const QString& key) {
  addFile(path, QString(), QString(), key);
}

void FormDataRequest::addFile(const QString& path, const QString& fileName,
                              const QString& contentType, const QString& key) {
  const QFileInfo info(path);
  if (!info.exists() || info.isDir()) {
    // Reported when the request starts, through the normal failure path (to a queue too).
    notePostBodyError(http::makeRequestError(http::InternalErrorWhileBuildingRequestType,
                                             QStringLiteral("No file exists at %1").arg(path)));
  }
  const QString name = fileName.isNull() ? info.fileName() : fileName;
  const QString type = contentType.isNull() ? mimeTypeForFileAtPath(path) : contentType;
  addDataItem(path, name, type, key);
}

void FormDataRequest::setFile(const QString& path, const QString& key) {
  setFile(path, QString(), QString(), key);
}

void FormDataRequest::setFile(const QString& path, const QString& fileName,
                              const QString& contentType, const QString& key) {
  removeFileItems(key);
  addFile(path, fileName, contentType, key);
}

void FormDataRequest::addData(const QByteArray& data, const QString& key) {
  addData(data, QStringLiteral("file"), QString(), key);
}

void FormDataRequest::addData(const QByteArray& data, const QString& fileName,
                              const QString& contentType, const QString& key) {
  addDataItem(data, fileName, contentType, key);
}

void FormDataRequest::setData(const QByteArray& data, const QString& key) {
  setData(data, QStringLiteral("file"), QString(), key);
}

void FormDataRequest::setData(const QByteArray& data, const QString& fileName,
                              const QString& contentType, const QString& key) {
  removeFileItems(key);
  addData(data, fileName, contentType, key);
}

void FormDataRequest::addDataItem(std::variant<QString, QByteArray> data, const QString& fileName,
                                  const QString& contentType, const QString& key) {
  if (!fileData_) fileData_.emplace();
  const QString type = contentType.isEmpty() ? QStringLiteral("application/octet-stream") : contentType;
  fileData_->append(FileItem{key, fileName, type, std::move(data)});
}

void FormDataRequest::removeFileItems(const QString& key) {
  if (fileData_) fileData_->removeIf([&key](const FileItem& item) { return item.key == key; });
}

// ---- The body ---------------------------------------------------------------------------------

void FormDataRequest::buildPostBody() {
  if (haveBuiltPostBody()) return;
  if (!postData_ && !fileData_) {
    http::HTTPRequest::buildPostBody();
    return;
  }
  // Written once even when an earlier build failed afterwards (a queue builds twice).
  if (!didWriteFormBody_) {
    didWriteFormBody_ = true;
    if (hasItems(fileData_)) setShouldStreamPostDataFromDisk(true);
    if (postFormat_ == URLEncodedPostFormat) buildURLEncodedPostBody();
    else buildMultipartFormDataPostBody();
  }
  http::HTTPRequest::buildPostBody();
}

QString FormDataRequest::charsetName() const {
  return http::ianaCharsetNameForEncoding(stringEncoding_);
}

void FormDataRequest::buildURLEncodedPostBody() {
  if (hasItems(fileData_)) {
    // Files can only travel in the multipart form.
    postFormat_ = MultipartFormDataPostFormat;
    buildMultipartFormDataPostBody();
    return;
  }
  addRequestHeader(QStringLiteral("Content-Type"),
                   QStringLiteral("application/x-www-form-urlencoded; charset=") + charsetName());
  const QList<ValueItem> items = postData_.value_or(QList<ValueItem>());
  for (qsizetype i = 0; i < items.size(); ++i) {
    const QString separator = i + 1 < items.size() ? QStringLiteral("&") : QString();
    appendPostString(encodeURL(items[i].key) + QLatin1Char('=') + encodeURL(items[i].value) + separator);
  }
}

void FormDataRequest::buildMultipartFormDataPostBody() {
  const QString boundary =
      kBoundaryPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
  addRequestHeader(QStringLiteral("Content-Type"),
                   QStringLiteral("multipart/form-data; charset=%1; boundary=%2").arg(charsetName(), boundary));
  appendPostString(QStringLiteral("--") + boundary + kLineEnd);
  const QString separator = kLineEnd + QStringLiteral("--") + boundary + kLineEnd;

  // Names travel inside quoted header parameters: each is escaped so that it cannot end its
  // parameter or its header line, and encoded on its own, so that a name the encoding cannot
  // represent leaves an empty name rather than a part without its header.
  const QList<ValueItem> values = postData_.value_or(QList<ValueItem>());
  const QList<FileItem> files = fileData_.value_or(QList<FileItem>());
  for (qsizetype i = 0; i < values.size(); ++i) {
    appendPostString(QStringLiteral("Content-Disposition: form-data; name=\""));
    appendPostString(escapeHeaderParameter(values[i].key));
    appendPostString(QStringLiteral("\"") + kLineEnd + kLineEnd);
    appendPostString(values[i].value);
    if (i + 1 < values.size() || !files.isEmpty()) appendPostString(separator);
  }
  for (qsizetype i = 0; i < files.size(); ++i) {
    const FileItem& file = files[i];
    appendPostString(QStringLiteral("Content-Disposition: form-data; name=\""));
    appendPostString(escapeHeaderParameter(file.key));
    appendPostString(QStringLiteral("\"; filename=\""));
    appendPostString(escapeHeaderParameter(file.fileName));
    appendPostString(QStringLiteral("\"") + kLineEnd);
    appendPostString(QStringLiteral("Content-Type: ") + escapeHeaderParameter(file.contentType, false) +
                     kLineEnd + kLineEnd);
    if (const QString* path = std::get_if<QString>(&file.data)) appendPostDataFromFile(*path);
    else appendPostData(std::get<QByteArray>(file.data));
    if (i + 1 < files.size()) appendPostString(separator);
  }
  appendPostString(kLineEnd + QStringLiteral("--") + boundary + QStringLiteral("--") + kLineEnd);
}

void FormDataRequest::appendPostString(const QString& text) {
  const std::optional<QByteArray> bytes = encodeText(text, stringEncoding_);
  appendPostData(bytes.value_or(QByteArray()));
}

QString FormDataRequest::encodeURL(const QString& text) const {
  return percentEscape(text, stringEncoding_);
}

// ---- Copying ----------------------------------------------------------------------------------

std::shared_ptr<http::HTTPRequest> FormDataRequest::copy() const {
  auto base = http::HTTPRequest::copy();
  auto form = std::static_pointer_cast<FormDataRequest>(base);
  form->postData_ = postData_;
  form->fileData_ = fileData_;
  form->postFormat_ = postFormat_;
  form->stringEncoding_ = stringEncoding_;
  form->setRequestMethod(requestMethod());
  return base;
}

}  // namespace form
