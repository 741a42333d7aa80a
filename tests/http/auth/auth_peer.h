// Shared pieces of the authentication tests that run requests: a delegate that answers or
// refuses challenges and counts how often it was asked, and helpers over apache's access log.
#pragma once

#include "http/http_request.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

namespace authtest {

class CredentialsDelegate : public platform::Object {
  PLATFORM_OBJECT
 public:
  // Answers with user/password (or gives up when `user` is empty).
  void authenticationNeeded(const std::shared_ptr<http::HTTPRequest>& request);
  void proxyAuthenticationNeeded(const std::shared_ptr<http::HTTPRequest>& request);

  QString user;
  QString password;
  int asked = 0;        // server questions
  int proxyAsked = 0;   // proxy questions
  bool onMainThread = true;
};

// Lines of `log` from index `from` on that contain `text`.
int countLines(const std::vector<std::string>& log, size_t from, const std::string& text);

// A server writes its log line after it sent the response: waits (bounded) until `read()` holds
// at least `expected` lines from `from` on that contain `text`, and returns how many it holds.
int waitForLines(const std::function<std::vector<std::string>()>& read, size_t from,
                 const std::string& text, int expected);

}  // namespace authtest
