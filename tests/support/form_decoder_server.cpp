// Starts the decoder script with the system's Python and reads the port it announces.
#include "support/form_decoder_server.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>

namespace testsupport {

FormDecoderServer::FormDecoderServer() {
  // The distribution's interpreter first: another python3 on PATH may lack modules.
  const QString python = QFileInfo::exists(QStringLiteral("/usr/bin/python3"))
                             ? QStringLiteral("/usr/bin/python3")
                             : QStringLiteral("python3");
  process_ = std::make_unique<QProcess>();
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_->start(python, {QStringLiteral(FORM_DECODER_SCRIPT)});
  if (!process_->waitForStarted(10000)) {
    error_ = QStringLiteral("python3 did not start: %1").arg(process_->errorString());
    return;
  }
  QByteArray line;
  while (!line.endsWith('\n') && process_->state() == QProcess::Running) {
    if (!process_->canReadLine() && !process_->waitForReadyRead(20000)) break;
    line += process_->readLine();
  }
  if (line.startsWith("PORT ")) port_ = static_cast<quint16>(line.mid(5).trimmed().toUInt());
  if (port_ == 0) error_ = QStringLiteral("the decoder server did not announce a port: %1").arg(QString::fromUtf8(line));
}

FormDecoderServer::~FormDecoderServer() {
  if (process_->state() != QProcess::NotRunning) {
    process_->closeWriteChannel();  // the script leaves when its input ends
    if (!process_->waitForFinished(3000)) {
      process_->kill();
      process_->waitForFinished(3000);
    }
  }
}

QUrl FormDecoderServer::url(const QString& path) const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path));
}

QJsonObject FormDecoderServer::report(const QByteArray& responseBody) {
  return QJsonDocument::fromJson(responseBody).object();
}

}  // namespace testsupport
