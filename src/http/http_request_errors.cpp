// The engine's error domain and shared error objects.
#include "http/http_request_errors.h"


namespace http {
namespace {

platform::ErrorPtr shared(int code, const char* description) {
  return platform::Error::make(NetworkRequestErrorDomain, code, QString::fromLatin1(description));
}

}  // namespace

const platform::ErrorPtr& RequestTimedOutError() {
  static const platform::ErrorPtr error = shared(RequestTimedOutErrorType, "The request timed out");
  return error;
}

const platform::ErrorPtr& AuthenticationError() {
  static const platform::ErrorPtr error = shared(AuthenticationErrorType, "Authentication needed");
  return error;
}

const platform::ErrorPtr& RequestCancelledError() {
  static const platform::ErrorPtr error =
      shared(RequestCancelledErrorType, "The request was cancelled");
  return error;
}

const platform::ErrorPtr& UnableToCreateRequestError() {
  static const platform::ErrorPtr error =
      shared(UnableToCreateRequestErrorType, "Unable to create request (bad url?)");
  return error;
}

const platform::ErrorPtr& TooMuchRedirectionError() {
  static const platform::ErrorPtr error = shared(
      TooMuchRedirectionErrorType, "The request failed because it redirected too many times");
  return error;
}

platform::ErrorPtr makeRequestError(int code, const QString& description,
                                    platform::ErrorPtr underlying) {
  return platform::Error::make(NetworkRequestErrorDomain, code, description, {},
                               std::move(underlying));
}

platform::ErrorPtr makeFileError(const QString& description, const QString& systemMessage) {
  auto underlying = platform::Error::make(QStringLiteral("FileSystemErrorDomain"), 0, systemMessage);
  return makeRequestError(FileManagementError, description, underlying);
}

}  // namespace http
