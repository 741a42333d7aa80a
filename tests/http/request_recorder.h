// A delegate for request tests: records which callbacks arrived, in which order, on which thread.
#pragma once

#include "http/http_request.h"

#include <QStringList>

namespace testsupport {

class RequestRecorder : public platform::Object {
  PLATFORM_OBJECT
 public:
  void started(const std::shared_ptr<http::HTTPRequest>& request);
  void headers(const std::shared_ptr<http::HTTPRequest>& request, const platform::StringMap& headers);
  void finished(const std::shared_ptr<http::HTTPRequest>& request);
  void failed(const std::shared_ptr<http::HTTPRequest>& request);
  void redirected(const std::shared_ptr<http::HTTPRequest>& request);

  QStringList events;           // "started", "headers", "finished", "failed", "redirected"
  bool allOnMainThread = true;  // every callback ran on the main thread
  int finishedCount = 0;
  int failedCount = 0;
  platform::StringMap lastHeaders;

 private:
  void note(const QString& event);
};

}  // namespace testsupport
