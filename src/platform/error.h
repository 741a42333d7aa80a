// Error values and named exceptions shared by every engine of the program.
// Errors are immutable once made and handed around as shared pointers, so one instance can be shared.
#pragma once

#include <QString>
#include <QVariantMap>

#include <exception>
#include <memory>
#include <string>

namespace platform {

class Error;
using ErrorPtr = std::shared_ptr<const Error>;

// An error: a domain, an integer code, a human-readable description, an optional failure reason,
// an optional underlying error and free-form details. Thread: any (immutable).
class Error {
 public:
  Error(QString domain, qint64 code, QString description = {}, QString failureReason = {},
        ErrorPtr underlying = nullptr, QVariantMap userInfo = {});

  static ErrorPtr make(QString domain, qint64 code, QString description = {},
                       QString failureReason = {}, ErrorPtr underlying = nullptr,
                       QVariantMap userInfo = {});

  const QString& domain() const { return domain_; }
  qint64 code() const { return code_; }
  // The text under the localized-description key; empty when none was given.
  const QString& localizedDescription() const { return description_; }
  const QString& failureReason() const { return failureReason_; }
  const ErrorPtr& underlyingError() const { return underlying_; }
  const QVariantMap& userInfo() const { return userInfo_; }

  // "Error Domain=<domain> Code=<code> \"<description>\"", for log lines.
  QString toString() const;

 private:
  QString domain_;
  qint64 code_;
  QString description_;
  QString failureReason_;
  ErrorPtr underlying_;
  QVariantMap userInfo_;
};

// A programming error: thrown with a name (such as "AttemptToAddInvalidRequest") and a reason.
class NamedException : public std::exception {
 public:
  NamedException(QString name, QString reason, QVariantMap userInfo = {});

  const QString& name() const { return name_; }
  const QString& reason() const { return reason_; }
  const QVariantMap& userInfo() const { return userInfo_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  QString name_;
  QString reason_;
  QVariantMap userInfo_;
  std::string what_;
};

}  // namespace platform
