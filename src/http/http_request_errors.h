// The request engine's error domain: its codes, their fixed descriptions and the shared error
// objects that every failure of the same cause hands out.
#pragma once

#include "platform/error.h"

#include <QString>

namespace http {

// Domain of every error the engine raises itself.
inline const QString NetworkRequestErrorDomain = QStringLiteral("HTTPRequestErrorDomain");

enum RequestErrorCode : int {
  ConnectionFailureErrorType = 1,
  RequestTimedOutErrorType = 2,
  AuthenticationErrorType = 3,
  RequestCancelledErrorType = 4,
  UnableToCreateRequestErrorType = 5,
  InternalErrorWhileBuildingRequestType = 6,
  InternalErrorWhileApplyingCredentialsType = 7,
  FileManagementError = 8,
  TooMuchRedirectionErrorType = 9,
  UnhandledExceptionError = 10,
  CompressionError = 11,
};

// The five shared errors (codes 2, 3, 4, 5, 9), created once. Thread: any.
const platform::ErrorPtr& RequestTimedOutError();
const platform::ErrorPtr& AuthenticationError();
const platform::ErrorPtr& RequestCancelledError();
const platform::ErrorPtr& UnableToCreateRequestError();
const platform::ErrorPtr& TooMuchRedirectionError();

// A new error of the engine's domain.
platform::ErrorPtr makeRequestError(int code, const QString& description,
                                    platform::ErrorPtr underlying = nullptr);

// A file-management error (code 8) whose underlying error carries the file system's message.
platform::ErrorPtr makeFileError(const QString& description, const QString& systemMessage);

}  // namespace http
