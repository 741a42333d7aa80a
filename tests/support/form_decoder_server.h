// An independent judge of the request bodies the engine writes: a small Python server built on the
// standard library alone, started as a child on 127.0.0.1 and a free port, stopped at the end.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <memory>

class QProcess;

namespace testsupport {

// Every request the server receives is answered with a JSON report of what it decoded: "method",
// "path", "headers" (names lower-cased), "raw_size" and "raw_sha256" (the body as sent),
// "size" and "sha256" (after gzip inflation when "Content-Encoding" says gzip), and "form":
// {"pairs": [[key, value]...]} for URL-encoded bodies, {"parts": [{"name", "filename",
// "content_type", "size", "sha256", "text", "header_names"}...]} for multipart ones, texts
// decoded with the charset of the request's Content-Type. "/status/<code>?location=<url>"
// answers with that status and Location. Thread: the creating thread.
class FormDecoderServer {
 public:
  FormDecoderServer();
  ~FormDecoderServer();
  FormDecoderServer(const FormDecoderServer&) = delete;
  FormDecoderServer& operator=(const FormDecoderServer&) = delete;

  // True once the server listens; otherwise errorText() says why it did not start.
  bool isRunning() const { return port_ != 0; }
  const QString& errorText() const { return error_; }
  // "http://127.0.0.1:<port><path>".
  QUrl url(const QString& path = QStringLiteral("/")) const;

  // The report in a response body (an empty object when it is not JSON).
  static QJsonObject report(const QByteArray& responseBody);

 private:
  std::unique_ptr<QProcess> process_;
  quint16 port_ = 0;
  QString error_;
};

}  // namespace testsupport
