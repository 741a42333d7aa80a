// A request that posts an HTML form: named text values and named file parts, sent as a
// URL-encoded body or as a multipart body with the matching Content-Type.
#pragma once

#include "http/http_request.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>
#include <variant>

namespace form {

// A form request. Values and files are added before the request starts (on the caller's
// thread); when the engine builds the body (once, on the thread that starts the request or
// the queue it is added to), the form writes it through the base request's body operations
// and the base request finishes it (length, compression). A form with files is assembled in a
// temporary body file, each file streamed from disk into it. Owns its item lists.
class FormDataRequest : public http::HTTPRequest {
  PLATFORM_OBJECT
 public:
  // A named text value.
  struct ValueItem {
    QString key;
    QString value;
  };
  // A named file part: its bytes come from the file at a path or are held here.
  struct FileItem {
    QString key;
    QString fileName;     // name shown to the server
    QString contentType;  // MIME type
    std::variant<QString, QByteArray> data;  // a path, or the bytes themselves
  };
  enum PostFormat : int { MultipartFormDataPostFormat = 0, URLEncodedPostFormat = 1 };

  // A form request for `url`: method POST, URL-encoded, UTF-8.
  explicit FormDataRequest(const QUrl& url);
  static std::shared_ptr<FormDataRequest> requestWithURL(const QUrl& url);

  // Appends a value under `key` (the value's text form); nothing when `key` is null. Keys may
  // repeat: every item is sent, in order.
  void addPostValue(const QVariant& value, const QString& key);
  // Removes every value under `key`, then adds this one (at the end).
  void setPostValue(const QVariant& value, const QString& key);

  // Appends a part read from the file at `path` when the body is built. When nothing or a folder
  // is there, the request fails with code 6 "No file exists at <path>" when it starts (the part
  // is still recorded). A null file name becomes the path's last component, a null content type the
  // MIME type of the path's extension.
  void addFile(const QString& path, const QString& key);
  void addFile(const QString& path, const QString& fileName, const QString& contentType,
               const QString& key);
  // Removes every part under `key`, then adds this one.
  void setFile(const QString& path, const QString& key);
  void setFile(const QString& path, const QString& fileName, const QString& contentType,
               const QString& key);

  // Appends a part holding `data`, named "file" unless a file name is given; a null content
  // type becomes "application/octet-stream".
  void addData(const QByteArray& data, const QString& key);
  void addData(const QByteArray& data, const QString& fileName, const QString& contentType,
               const QString& key);
  void setData(const QByteArray& data, const QString& key);
  void setData(const QByteArray& data, const QString& fileName, const QString& contentType,
               const QString& key);

  // Writes the form body (once) and lets the base request finish it. A request with neither
  // list (not even an empty one) is left to the base request alone.
  void buildPostBody() override;
  // The two body writers. Files always force the multipart form.
  void buildURLEncodedPostBody();
  void buildMultipartFormDataPostBody();
  // Appends `text` in the form's encoding (nothing when the encoding cannot represent it).
  void appendPostString(const QString& text);
  // `text` percent-escaped in the form's encoding: only ASCII letters, digits, "-", "_" and
  // "." stay as they are.
  QString encodeURL(const QString& text) const;

  std::shared_ptr<http::HTTPRequest> copy() const override;

  const std::optional<QList<ValueItem>>& postData() const { return postData_; }
  void setPostData(const std::optional<QList<ValueItem>>& items) { postData_ = items; }
  const std::optional<QList<FileItem>>& fileData() const { return fileData_; }
  void setFileData(const std::optional<QList<FileItem>>& items) { fileData_ = items; }
  int postFormat() const { return postFormat_; }
  void setPostFormat(int format) { postFormat_ = format; }
  http::StringEncoding stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(http::StringEncoding encoding) { stringEncoding_ = encoding; }

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;

 private:
  void addDataItem(std::variant<QString, QByteArray> data, const QString& fileName,
                   const QString& contentType, const QString& key);
  void removeFileItems(const QString& key);
  // The Content-Type parameter "charset=<IANA name of the form's encoding>".
  QString charsetName() const;

  std::optional<QList<ValueItem>> postData_;
  std::optional<QList<FileItem>> fileData_;
  int postFormat_ = URLEncodedPostFormat;
  http::StringEncoding stringEncoding_ = http::UTF8StringEncoding;
  bool didWriteFormBody_ = false;  // the writers ran: a second build must not write again
};

}  // namespace form
