// Development driver for the request engine.
//   fetch [options] URL [URL...]    synchronous requests, one after another in this process; for
//                                   each: the status line and headers, the body on standard
//                                   error (or in -o FILE), then its summary line; with --async
//                                   each runs on the network thread instead
//   fetch [options] -j N -d DIR -i LIST
//                                   every URL of LIST (one per line) through a request queue with
//                                   at most N at once, each body saved at DIR + the URL's path
// The summary line of a request is the last line it prints on standard output:
//   summary: status=<code> sent=<body bytes sent> received=<body bytes received> error=<code>
// followed by the fields of the option groups (fetch_<group>.cpp). `fetch --help` lists every
// option. Exit status 0 only when every request finished without error, 2 for a usage error.
#include "fetch_feature.h"

#include "queue/network_queue.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

std::vector<std::unique_ptr<FetchFeature>>& fetchFeatures() {
  static std::vector<std::unique_ptr<FetchFeature>> features;
  return features;
}

namespace {

const QCommandLineOption kOutputOption({QStringLiteral("o"), QStringLiteral("output")},
                                       QStringLiteral("Save the body of the request in FILE."),
                                       QStringLiteral("FILE"));
const QCommandLineOption kListOption({QStringLiteral("i"), QStringLiteral("input")},
                                     QStringLiteral("Fetch every URL of LIST through a queue."),
                                     QStringLiteral("LIST"));
const QCommandLineOption kJobsOption({QStringLiteral("j"), QStringLiteral("jobs")},
                                     QStringLiteral("At most N requests at once (default 4)."),
                                     QStringLiteral("N"), QStringLiteral("4"));
const QCommandLineOption kAsyncOption(QStringLiteral("async"),
                                      QStringLiteral("Run each request asynchronously (on the network thread)."));
const QCommandLineOption kFolderOption({QStringLiteral("d"), QStringLiteral("directory")},
                                       QStringLiteral("Folder for the bodies of a list (default .)."),
                                       QStringLiteral("DIR"), QStringLiteral("."));

void printError(const platform::ErrorPtr& error) {
  std::printf("error: %s %lld %s\n", error->domain().toUtf8().constData(),
              static_cast<long long>(error->code()), error->localizedDescription().toUtf8().constData());
}

// The option groups of which at least one option was given: only they make or prepare requests
// (a group without options leaves a request as it is). Worked out once: a list may hold
// thousands of URLs.
const std::vector<FetchFeature*>& givenFeatures(const QCommandLineParser& parser) {
  static const std::vector<FetchFeature*> given = [&parser] {
    std::vector<FetchFeature*> features;
    for (const auto& feature : fetchFeatures()) {
      const QList<QCommandLineOption> options = feature->options();
      if (std::any_of(options.begin(), options.end(),
                      [&parser](const QCommandLineOption& option) { return parser.isSet(option); })) {
        features.push_back(feature.get());
      }
    }
    return features;
  }();
  return given;
}

std::shared_ptr<http::HTTPRequest> makeRequest(const QUrl& url, const QCommandLineParser& parser) {
  std::shared_ptr<http::HTTPRequest> request;
  for (FetchFeature* feature : givenFeatures(parser)) {
    if ((request = feature->makeRequest(url, parser))) break;
  }
  if (!request) request = http::HTTPRequest::requestWithURL(url);
  for (FetchFeature* feature : givenFeatures(parser)) feature->prepare(*request, parser);
  return request;
}

// Appends the request's summary line to `out`.
void appendSummary(const http::HTTPRequest& request, QByteArray* out) {
  out->append("summary:");
  addField(out, "status", request.responseStatusCode());
  addField(out, "sent", static_cast<qint64>(request.totalBytesSent()));
  addField(out, "received", static_cast<qint64>(request.totalBytesRead()));
  addField(out, "error", request.error() ? request.error()->code() : 0);
  for (const auto& feature : fetchFeatures()) feature->summarize(request, out);
  out->append('\n');
}

int fetchOne(const QUrl& url, const QCommandLineParser& parser) {
  auto request = makeRequest(url, parser);
  const bool saveToFile = parser.isSet(kOutputOption);
  const bool async = parser.isSet(kAsyncOption);
  if (saveToFile) {
    request->setDownloadDestinationPath(QFileInfo(parser.value(kOutputOption)).absoluteFilePath());
  }
  if (async) {
    // The main thread serves the callbacks while the network thread runs the request.
    request->startAsynchronous();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (request->isFinished()) loop.quit();
    });
    poll.start(5);
    loop.exec();
  } else {
    request->startSynchronous();
  }
  int status = 0;
  // Standard output is gathered and written with one call per request (a run may fetch thousands
  // of URLs).
  QByteArray out;
  out.reserve(1024);
  if (request->error()) {
    printError(request->error());
    status = 1;
  } else {
    appendUtf8(&out, request->responseStatusMessage());
    out.append('\n');
    const platform::StringMap headers = request->responseHeaders().value_or(platform::StringMap());
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
      appendUtf8(&out, it.key());
      out.append(": ");
      appendUtf8(&out, it.value());
      out.append('\n');
    }
    if (!saveToFile) {
      std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);  // buffered
      out.clear();
      const QByteArray body = request->responseData();
      std::fwrite(body.constData(), 1, static_cast<size_t>(body.size()), stderr);
    }
  }
  appendSummary(*request, &out);
  std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
  std::fflush(stdout);
  return status;
}

// Counts what the queue reports, hands it the next request of the list for each one that ends,
// and ends the program when it is done.
class Counter : public platform::Object {
  PLATFORM_OBJECT
 public:
  void finished(const std::shared_ptr<http::HTTPRequest>&) {
    ++done;
    if (addNext) addNext();
  }
  void failed(const std::shared_ptr<http::HTTPRequest>& request) {
    ++failures;
    std::fprintf(stderr, "failed: %s %s\n", request->url().toString().toUtf8().constData(),
                 request->error() ? request->error()->toString().toUtf8().constData() : "");
    if (addNext) addNext();
  }
  void queueFinished(const std::shared_ptr<queue::NetworkQueue>&) {
    std::printf("finished %d failed %d\n", done, failures);
    QCoreApplication::exit(failures == 0 ? 0 : 1);
  }
  int done = 0;
  int failures = 0;
  std::function<bool()> addNext;  // adds the list's next request; false when none is left
};

const platform::MethodTable& Counter::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("finished:", &Counter::finished),
      platform::method("failed:", &Counter::failed),
      platform::method("queueFinished:", &Counter::queueFinished),
  });
  return table;
}

int fetchList(const QCommandLineParser& parser) {
  QFile list(parser.value(kListOption));
  if (!list.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", list.fileName().toUtf8().constData());
    return 2;
  }
  const QString folder = QDir(parser.value(kFolderOption)).absolutePath();
  auto counter = std::make_shared<Counter>();
  auto queue = queue::NetworkQueue::queue();
  queue->setDelegate(counter);
  queue->setShouldCancelAllRequestsOnFailure(false);
  queue->setRequestDidFinishSelector("finished:");
  queue->setRequestDidFailSelector("failed:");
  queue->setQueueDidFinishSelector("queueFinished:");
  queue->setMaxConcurrentOperationCount(qMax(1, parser.value(kJobsOption).toInt()));
  // Read whole: a readLine() per URL costs a large buffer made and shrunk for every line.
  const QByteArray text = list.readAll();
  std::vector<QByteArrayView> lines;
  for (QByteArrayView rest(text); !rest.isEmpty();) {
    const qsizetype end = rest.indexOf('\n');
    const QByteArrayView line = (end < 0 ? rest : rest.first(end)).trimmed();
    rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
    if (!line.isEmpty()) lines.push_back(line);
  }
  const int count = static_cast<int>(lines.size());
  size_t next = 0;
  QString madeFolder;
  counter->addNext = [&]() {
    if (next == lines.size()) return false;
    const QUrl url = QUrl::fromEncoded(lines[next++].toByteArray());
    const QString destination = folder + url.path();
    // Lists name the files of a folder together: make each folder once in a row.
    const QString destinationFolder = QFileInfo(destination).absolutePath();
    if (destinationFolder != madeFolder && QDir().mkpath(destinationFolder)) madeFolder = destinationFolder;
    auto request = makeRequest(url, parser);
    request->setDownloadDestinationPath(destination);
    queue->addOperation(request);
    return true;
  };
  // The queue gets a window of requests and then one more for each that ends, so that a long
  // list does not make all its requests up front, and the first downloads start at once. The
  // queue hears of ended requests on this thread, after the window is in.
  queue->go();
  const int window = 64 * queue->maxConcurrentOperationCount();
  for (int i = 0; i < window && counter->addNext(); ++i) {
  }
  int status = 0;
  if (count == 0) {
    std::printf("finished 0 failed 0\n");
  } else {
    status = QCoreApplication::exec();
  }
  counter->addNext = nullptr;  // it refers to this call's list
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("fetch"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Development driver for the request engine. Each request ends with a line\n"
      "summary: status=<code> sent=<body bytes sent> received=<body bytes received> error=<code> ..."));
  parser.addHelpOption();
  parser.addOptions({kOutputOption, kListOption, kJobsOption, kFolderOption, kAsyncOption});
  for (const auto& feature : fetchFeatures()) parser.addOptions(feature->options());
  parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("URLs to fetch, one after another."),
                               QStringLiteral("URL..."));
  parser.process(app);

  for (const auto& feature : fetchFeatures()) {
    QString error;
    if (!feature->configure(parser, &error)) {
      std::fprintf(stderr, "fetch: %s\n", error.toUtf8().constData());
      return 2;
    }
  }
  if (parser.isSet(kListOption)) return fetchList(parser);
  const QStringList urls = parser.positionalArguments();
  if (urls.isEmpty()) {
    std::fprintf(stderr, "%s", parser.helpText().toUtf8().constData());
    return 2;
  }
  int status = 0;
  for (const QString& url : urls) status = qMax(status, fetchOne(QUrl(url), parser));
  return status;
}
