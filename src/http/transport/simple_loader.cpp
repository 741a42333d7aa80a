// The simple blocking loader: file reads, and HTTP GETs run on a private run-loop mode of the
// calling thread with redirects and a deadline.
#include "http/transport/simple_loader.h"

#include "http/transport/http_stream.h"
#include "platform/run_loop.h"

#include <QFile>

#include <chrono>

namespace http::transport {

namespace {

const QString kLoaderMode = QStringLiteral("SimpleLoaderRunLoopMode");

bool isHttp(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct Fetched {
  std::optional<ResponseHead> head;
  QByteArray body;
  platform::ErrorPtr error;
  bool ended = false;
  bool tooLong = false;
};

// One GET, waited for on the calling thread's private loader mode until `deadline`.
Fetched fetch(const QUrl& url, std::chrono::steady_clock::time_point deadline, QString* whyNot,
              qint64 maxBytes) {
  Fetched result;
  RequestHead head;
  head.url = url;
  head.headers.append("Accept", "*/*");
  QString invalid;
  auto stream = HttpStream::create(head, nullptr, &invalid);
  if (!stream) {
    if (whyNot != nullptr) *whyNot = invalid;
    return result;
  }
  QByteArray buffer(256 * 1024, '\0');
  stream->setClient([&](StreamEvent event) {
    if (event == StreamEvent::BytesAvailable) {
      const qint64 n = stream->read(buffer.data(), buffer.size());
      if (n > 0) result.body.append(buffer.constData(), n);
      if (maxBytes >= 0 && result.body.size() > maxBytes) result.tooLong = true;
    } else if (event == StreamEvent::EndEncountered) {
      result.ended = true;
    } else {
      result.error = stream->error();
    }
  });
  stream->schedule(platform::RunLoop::current(kLoaderMode));
  if (!stream->open()) {
    result.error = stream->error();
  }
  while (!result.ended && !result.error && !result.tooLong) {
    const double left =
        std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    platform::RunLoop::runOnce(kLoaderMode, left);
  }
  result.head = stream->responseHead();
  stream->close();
  if (whyNot != nullptr) {
    if (result.tooLong) {
      *whyNot = QStringLiteral("%1 is longer than %2 bytes").arg(url.toString()).arg(maxBytes);
    } else if (result.error) {
      *whyNot = result.error->localizedDescription();
    } else if (!result.ended) {
      *whyNot = QStringLiteral("Loading %1 timed out").arg(url.toString());
    }
  }
  return result;
}

}  // namespace

std::optional<QByteArray> SimpleLoader::load(const QUrl& url, QString* whyNot,
                                             double timeoutSeconds, qint64 maxBytes) {
  if (url.isLocalFile()) {
    QFile file(url.toLocalFile());
    if (!file.open(QIODevice::ReadOnly)) {
      if (whyNot != nullptr) *whyNot = file.errorString();
      return std::nullopt;
    }
    if (maxBytes < 0) return file.readAll();
    QByteArray bytes = file.read(maxBytes + 1);
    if (bytes.size() > maxBytes) {
      if (whyNot != nullptr) *whyNot = QStringLiteral("%1 is longer than %2 bytes").arg(url.toString()).arg(maxBytes);
      return std::nullopt;
    }
    return bytes;
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
  QUrl current = url;
  for (int redirects = 0;; ++redirects) {
    if (!isHttp(current)) {
      if (whyNot != nullptr) *whyNot = QStringLiteral("Unsupported URL %1").arg(current.toString());
      return std::nullopt;
    }
    Fetched fetched = fetch(current, deadline, whyNot, maxBytes);
    if (!fetched.ended || !fetched.head || fetched.tooLong) return std::nullopt;
    const int status = fetched.head->statusCode;
    const QByteArray location = fetched.head->headers.value("Location");
    if (isRedirect(status) && !location.isEmpty()) {
      if (redirects >= kMaxRedirects) {
        if (whyNot != nullptr) *whyNot = QStringLiteral("Too many redirects from %1").arg(url.toString());
        return std::nullopt;
      }
      current = current.resolved(QUrl::fromEncoded(location));
      continue;
    }
    if (status < 200 || status > 299) {
      if (whyNot != nullptr) *whyNot = QString::fromLatin1(fetched.head->statusLine);
      return std::nullopt;
    }
    return fetched.body;
  }
}

}  // namespace http::transport
