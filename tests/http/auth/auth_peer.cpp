// The answering delegate and access-log helpers of the authentication tests.
#include "auth_peer.h"

#include "platform/threads.h"
#include "support/wait.h"

namespace authtest {

const platform::MethodTable& CredentialsDelegate::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("authenticationNeededForRequest:", &CredentialsDelegate::authenticationNeeded),
      platform::method("proxyAuthenticationNeededForRequest:", &CredentialsDelegate::proxyAuthenticationNeeded),
  });
  return table;
}

void CredentialsDelegate::authenticationNeeded(const std::shared_ptr<http::HTTPRequest>& request) {
  ++asked;
  onMainThread = onMainThread && platform::isMainThread();
  if (user.isEmpty()) {
    request->cancelAuthentication();
    return;
  }
  request->setUsername(user);
  request->setPassword(password);
  request->retryUsingSuppliedCredentials();
}

void CredentialsDelegate::proxyAuthenticationNeeded(const std::shared_ptr<http::HTTPRequest>& request) {
  ++proxyAsked;
  onMainThread = onMainThread && platform::isMainThread();
  if (user.isEmpty()) {
    request->cancelAuthentication();
    return;
  }
  request->setProxyUsername(user);
  request->setProxyPassword(password);
  request->retryUsingSuppliedCredentials();
}

int countLines(const std::vector<std::string>& log, size_t from, const std::string& text) {
  int n = 0;
  for (size_t i = from; i < log.size(); ++i) n += log[i].find(text) != std::string::npos;
  return n;
}

}  // namespace authtest

namespace authtest {

int waitForLines(const std::function<std::vector<std::string>()>& read, size_t from,
                 const std::string& text, int expected) {
  int n = 0;
  testsupport::waitUntil([&] { return (n = countLines(read(), from, text)) >= expected; },
                         std::chrono::seconds(5));
  return n;
}

}  // namespace authtest
