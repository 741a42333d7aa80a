// Error values and named exceptions.
#include "platform/error.h"

namespace platform {

Error::Error(QString domain, qint64 code, QString description, QString failureReason,
             ErrorPtr underlying, QVariantMap userInfo)
    : domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)),
      failureReason_(std::move(failureReason)),
      underlying_(std::move(underlying)),
      userInfo_(std::move(userInfo)) {}

ErrorPtr Error::make(QString domain, qint64 code, QString description, QString failureReason,
                     ErrorPtr underlying, QVariantMap userInfo) {
  return std::make_shared<const Error>(std::move(domain), code, std::move(description),
                                       std::move(failureReason), std::move(underlying),
                                       std::move(userInfo));
}

QString Error::toString() const {
  QString text = QStringLiteral("Error Domain=%1 Code=%2").arg(domain_).arg(code_);
  if (!description_.isEmpty()) text += QStringLiteral(" \"%1\"").arg(description_);
  if (!failureReason_.isEmpty()) text += QStringLiteral(" (%1)").arg(failureReason_);
  if (underlying_) text += QStringLiteral(" UnderlyingError={%1}").arg(underlying_->toString());
  return text;
}

NamedException::NamedException(QString name, QString reason, QVariantMap userInfo)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      userInfo_(std::move(userInfo)),
      what_((name_ + QStringLiteral(": ") + reason_).toStdString()) {}

}  // namespace platform
