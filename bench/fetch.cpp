// Development driver for the request engine.
//   fetch URL [-o FILE]          one synchronous request; prints the status line and headers
//   fetch -j N -d DIR -i LIST    every URL of LIST (one per line) through a request queue with at
//                                most N at once, each body saved at DIR + the URL's path
// Exit status 0 only when every request finished without error.
#include "http/http_request.h"
#include "queue/network_queue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

void printError(const platform::ErrorPtr& error) {
  std::printf("error: %s %lld %s\n", error->domain().toUtf8().constData(),
              static_cast<long long>(error->code()), error->localizedDescription().toUtf8().constData());
}

int fetchOne(const QString& url, const QString& output) {
  auto request = http::HTTPRequest::requestWithURL(QUrl(url));
  if (!output.isEmpty()) request->setDownloadDestinationPath(QFileInfo(output).absoluteFilePath());
  request->startSynchronous();
  if (request->error()) {
    printError(request->error());
    return 1;
  }
  std::printf("%s\n", request->responseStatusMessage().toUtf8().constData());
  const platform::StringMap headers = request->responseHeaders().value_or(platform::StringMap());
  for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
    std::printf("%s: %s\n", it.key().toUtf8().constData(), it.value().toUtf8().constData());
  }
  if (output.isEmpty()) {
    const QByteArray body = request->responseData();
    std::fwrite(body.constData(), 1, static_cast<size_t>(body.size()), stderr);
  }
  return 0;
}

// Counts what the queue reports and ends the program when it is done.
class Counter : public platform::Object {
  PLATFORM_OBJECT
 public:
  void finished(const std::shared_ptr<http::HTTPRequest>&) { ++done; }
  void failed(const std::shared_ptr<http::HTTPRequest>& request) {
    ++failures;
    std::fprintf(stderr, "failed: %s %s\n", request->url().toString().toUtf8().constData(),
                 request->error() ? request->error()->toString().toUtf8().constData() : "");
  }
  void queueFinished(const std::shared_ptr<queue::NetworkQueue>&) {
    std::printf("finished %d failed %d\n", done, failures);
    QCoreApplication::exit(failures == 0 ? 0 : 1);
  }
  int done = 0;
  int failures = 0;
};

const platform::MethodTable& Counter::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("finished:", &Counter::finished),
      platform::method("failed:", &Counter::failed),
      platform::method("queueFinished:", &Counter::queueFinished),
  });
  return table;
}

int fetchList(int limit, const QString& folder, const QString& listPath) {
  QFile list(listPath);
  if (!list.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", listPath.toUtf8().constData());
    return 2;
  }
  auto counter = std::make_shared<Counter>();
  auto queue = queue::NetworkQueue::queue();
  queue->setDelegate(counter);
  queue->setShouldCancelAllRequestsOnFailure(false);
  queue->setRequestDidFinishSelector("finished:");
  queue->setRequestDidFailSelector("failed:");
  queue->setQueueDidFinishSelector("queueFinished:");
  queue->setMaxConcurrentOperationCount(limit);
  int count = 0;
  while (!list.atEnd()) {
    const QByteArray line = list.readLine().trimmed();
    if (line.isEmpty()) continue;
    const QUrl url = QUrl::fromEncoded(line);
    const QString destination = QDir(folder).absolutePath() + url.path();
    QDir().mkpath(QFileInfo(destination).absolutePath());
    auto request = http::HTTPRequest::requestWithURL(url);
    request->setDownloadDestinationPath(destination);
    queue->addOperation(request);
    ++count;
  }
  if (count == 0) {
    std::printf("finished 0 failed 0\n");
    return 0;
  }
  queue->go();
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("fetch"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
  const QStringList args = QCoreApplication::arguments().mid(1);
  const auto option = [&](const QString& name) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args[at + 1] : QString();
  };
  if (args.contains(QStringLiteral("-i"))) {
    const int limit = option(QStringLiteral("-j")).isEmpty() ? 4 : option(QStringLiteral("-j")).toInt();
    const QString folder = option(QStringLiteral("-d")).isEmpty() ? QStringLiteral(".") : option(QStringLiteral("-d"));
    return fetchList(limit, folder, option(QStringLiteral("-i")));
  }
  if (args.isEmpty()) {
    std::fprintf(stderr, "usage: fetch URL [-o FILE] | fetch -j N -d DIR -i LIST\n");
    return 2;
  }
  return fetchOne(args.first(), option(QStringLiteral("-o")));
}
