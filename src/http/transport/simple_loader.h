// The simple blocking loader: all the bytes at a URL (http, https or file) or nothing, for the
// few small documents the program fetches outside the request engine.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace http::transport {

// Blocking GET with none of the request engine's settings (no credentials, cookies, cache or
// proxy). Thread: any thread, including the main thread; the caller is blocked, and while it
// waits only its own stream is served on its thread (a private run-loop mode).
class SimpleLoader {
 public:
  // Time allowed for the whole load, redirects included.
  static constexpr double kTimeoutSeconds = 60.0;
  // Redirects followed before giving up.
  static constexpr int kMaxRedirects = 10;

  // Returns every byte of the resource at `url`, or nothing (with the reason in `whyNot` when
  // given). http and https: a GET with TLS checked against the system's trust store;
  // redirects (301, 302, 303, 307, 308) are followed to other http or https URLs only, and a
  // final status other than 2xx gives nothing, so an error page is never taken for the
  // document. file: the local file's bytes. With `maxBytes` >= 0, a resource longer than that
  // gives nothing (the load stops as soon as the limit is passed).
  static std::optional<QByteArray> load(const QUrl& url, QString* whyNot = nullptr,
                                        double timeoutSeconds = kTimeoutSeconds, qint64 maxBytes = -1);
};

}  // namespace http::transport
