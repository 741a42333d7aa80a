// fetch options for form posts: --form name=value and --form-file name=PATH[;type=MIME]
// [;filename=NAME] (both repeatable) make the request a form; --multipart sends it as
// multipart/form-data even without files (files always do).
#include "fetch_feature.h"

#include "form/form_data_request.h"

#include <QFileInfo>

namespace {

const QCommandLineOption kFormOption(QStringLiteral("form"),
                                     QStringLiteral("Add the form value NAME=VALUE (repeatable)."),
                                     QStringLiteral("NAME=VALUE"));
const QCommandLineOption kFormFileOption(
    QStringLiteral("form-file"),
    QStringLiteral("Add a file part NAME=PATH[;type=MIME][;filename=NAME] (repeatable)."),
    QStringLiteral("PART"));
const QCommandLineOption kMultipartOption(QStringLiteral("multipart"),
                                          QStringLiteral("Send the form as multipart/form-data."));

struct FilePart {
  QString key;
  QString path;
  QString type;      // null: from the file's extension
  QString fileName;  // null: the path's last component
};

class FormFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override {
    return {kFormOption, kFormFileOption, kMultipartOption};
  }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    isForm_ = parser.isSet(kFormOption) || parser.isSet(kFormFileOption) || parser.isSet(kMultipartOption);
    if (isForm_ && (parser.isSet(QStringLiteral("data")) || parser.isSet(QStringLiteral("data-file")))) {
      *error = QStringLiteral("a form cannot also take --data or --data-file");
      return false;
    }
    for (const QString& field : parser.values(kFormOption)) {
      const qsizetype equals = field.indexOf(QLatin1Char('='));
      if (equals <= 0) {
        *error = QStringLiteral("--form wants NAME=VALUE, not \"%1\"").arg(field);
        return false;
      }
      values_.append({field.left(equals), field.mid(equals + 1)});
    }
    for (const QString& fileOption : parser.values(kFormFileOption)) {
      const qsizetype equals = fileOption.indexOf(QLatin1Char('='));
      if (equals <= 0) {
        *error = QStringLiteral("--form-file wants NAME=PATH, not \"%1\"").arg(fileOption);
        return false;
      }
      FilePart part{fileOption.left(equals), {}, {}, {}};
      // Suffixes are taken from the end, so a path may itself hold ';'.
      QStringList pieces = fileOption.mid(equals + 1).split(QLatin1Char(';'));
      while (pieces.size() > 1) {
        const QString last = pieces.last();
        if (last.startsWith(QLatin1String("type=")) && part.type.isNull()) part.type = last.mid(5);
        else if (last.startsWith(QLatin1String("filename=")) && part.fileName.isNull()) part.fileName = last.mid(9);
        else break;
        pieces.removeLast();
      }
      part.path = QFileInfo(pieces.join(QLatin1Char(';'))).absoluteFilePath();
      files_.append(part);
    }
    return true;
  }

  std::shared_ptr<http::HTTPRequest> makeRequest(const QUrl& url, const QCommandLineParser& parser) override {
    if (!isForm_) return nullptr;
    auto request = form::FormDataRequest::requestWithURL(url);
    if (parser.isSet(kMultipartOption)) request->setPostFormat(form::FormDataRequest::MultipartFormDataPostFormat);
    for (const auto& [key, value] : values_) request->addPostValue(value, key);
    for (const FilePart& part : files_) request->addFile(part.path, part.fileName, part.type, part.key);
    // An empty form is still a form: the body is written even without values.
    if (!request->postData()) request->setPostData(QList<form::FormDataRequest::ValueItem>());
    return request;
  }

 private:
  bool isForm_ = false;
  QList<std::pair<QString, QString>> values_;
  QList<FilePart> files_;
};

FETCH_FEATURE(FormFeature);

}  // namespace
