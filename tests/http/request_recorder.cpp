// A delegate that records the callbacks of requests.
#include "request_recorder.h"

#include "platform/threads.h"

namespace testsupport {

const platform::MethodTable& RequestRecorder::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("requestStarted:", &RequestRecorder::started),
      platform::method("request:didReceiveResponseHeaders:", &RequestRecorder::headers),
      platform::method("requestFinished:", &RequestRecorder::finished),
      platform::method("requestFailed:", &RequestRecorder::failed),
      platform::method("requestRedirected:", &RequestRecorder::redirected),
  });
  return table;
}

void RequestRecorder::note(const QString& event) {
  events << event;
  if (!platform::isMainThread()) allOnMainThread = false;
}

void RequestRecorder::started(const std::shared_ptr<http::HTTPRequest>&) { note(QStringLiteral("started")); }
void RequestRecorder::headers(const std::shared_ptr<http::HTTPRequest>&, const platform::StringMap& h) {
  lastHeaders = h;
  note(QStringLiteral("headers"));
}
void RequestRecorder::finished(const std::shared_ptr<http::HTTPRequest>&) {
  ++finishedCount;
  note(QStringLiteral("finished"));
}
void RequestRecorder::failed(const std::shared_ptr<http::HTTPRequest>&) {
  ++failedCount;
  note(QStringLiteral("failed"));
}
void RequestRecorder::redirected(const std::shared_ptr<http::HTTPRequest>&) { note(QStringLiteral("redirected")); }

}  // namespace testsupport
