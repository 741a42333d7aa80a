// Reading the response head (status, headers, encoding, length, keep-alive terms), redirects,
// the response accessors and answering a request from the cache.
#include "http/http_request.h"

#include "compression/data_decompressor.h"
#include "http/cache_delegate.h"
#include "http/cookies/cookie_store.h"
#include "http/header_dictionary.h"
#include "http/request_class_state.h"
#include "http/string_encodings.h"
#include "http/transport/http_stream.h"
#include "platform/run_loop.h"
#include "platform/threads.h"

#include <QNetworkCookie>

namespace http {
namespace {

// A decimal length as sent in Content-Length: digits after optional white space, stopping at the
// first other character; no digits give 0; a value too large for 64 bits saturates.
quint64 parseDecimalLength(const QString& text) {
  quint64 value = 0;
  qsizetype i = 0;
  while (i < text.size() && text[i].isSpace()) ++i;
  for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
    const quint64 digit = static_cast<quint64>(text[i].unicode() - u'0');
    if (value > (std::numeric_limits<quint64>::max() - digit) / 10) return std::numeric_limits<quint64>::max();
    value = value * 10 + digit;
  }
  return value;
}

// A small scanner over a header value, reading the way the keep-alive terms are read: a literal
// matches only where the scan stands (after white space), numbers are optional.
class Scanner {
 public:
  explicit Scanner(QString text) : text_(std::move(text)) {}
  bool scanLiteral(QStringView literal) {
    skipSpace();
    if (!QStringView(text_).mid(pos_).startsWith(literal)) return false;
    pos_ += literal.size();
    return true;
  }
  bool scanInt(int* out) {
    skipSpace();
    qsizetype i = pos_;
    if (i < text_.size() && (text_[i] == QLatin1Char('-') || text_[i] == QLatin1Char('+'))) ++i;
    const qsizetype digits = i;
    while (i < text_.size() && text_[i].isDigit()) ++i;
    if (i == digits) return false;
    bool ok = false;
    const int value = text_.mid(pos_, i - pos_).toInt(&ok);
    *out = ok ? value : (text_[pos_] == QLatin1Char('-') ? std::numeric_limits<int>::min()
                                                           : std::numeric_limits<int>::max());
    pos_ = i;
    return true;
  }
  void scanUpTo(QStringView literal) {
    const qsizetype found = text_.indexOf(literal, pos_);
    pos_ = found < 0 ? text_.size() : found;
  }

 private:
  void skipSpace() {
    while (pos_ < text_.size() && text_[pos_].isSpace()) ++pos_;
  }
  QString text_;
  qsizetype pos_ = 0;
};

// Scheme, host and port (with the scheme's default) of a URL: what decides whether credentials
// may follow a redirect.
bool sameOrigin(const QUrl& a, const QUrl& b) {
  const auto defaultPort = [](const QUrl& u) {
    return u.port(u.scheme().toLower() == QLatin1String("https") ? 443 : 80);
  };
  return a.scheme().toLower() == b.scheme().toLower() && a.host().toLower() == b.host().toLower() &&
         defaultPort(a) == defaultPort(b);
}

// The URL a Location value names. Header values hold the bytes as received, one character per
// byte; a server that sends non-ASCII bytes there means UTF-8 (RFC 3987), so they are read as
// such and percent-encoded once. Bytes that are not UTF-8 are percent-encoded as they are.
QUrl locationURL(const QString& value) {
  const QByteArray raw = value.toLatin1();
  const QString text = QString::fromUtf8(raw);
  if (text.toUtf8() == raw) return QUrl(text);
  QByteArray encoded;
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += QByteArray::number(byte, 16).toUpper();
    }
  }
  return QUrl::fromEncoded(encoded);
}

}  // namespace

void HTTPRequest::readResponseHeaders() {
  authenticationNeeded_ = 0;
  if (!readStream_) return;
  const std::optional<transport::ResponseHead> head = readStream_->responseHead();
  if (!head) return;  // not complete yet: a later event tries again

  responseHeaders_ = headerDictionary(head->headers);
  responseStatusCode_ = head->statusCode;
  responseStatusMessage_ = QString::fromLatin1(head->statusLine);

  if (auto cache = downloadCache_.lock(); cache && cache->canUseCachedDataForRequest(*this)) {
    cache->updateExpiryForRequest(*this, secondsToCache_);
    useDataFromCache();
    return;
  }

  if (responseStatusCode_ == 401) authenticationNeeded_ = 1;
  else if (responseStatusCode_ == 407) authenticationNeeded_ = 2;
  if (authenticationNeeded_ == 0) storeBasicCredentialsAfterSuccess();

  parseStringEncodingFromHeaders();

  receiveResponseCookies(*responseHeaders_);

  if (!willRedirect()) {
    std::shared_ptr<HTTPRequest> receiving = mainRequest_.lock();
    HTTPRequest& target = receiving ? *receiving : *this;
    const platform::StringMap& headers = *responseHeaders_;
    const quint64 length = parseDecimalLength(headers.value(QStringLiteral("Content-Length")));
    // A length beyond what a signed 64-bit size can say is no usable length.
    const bool usableLength = headers.contains(QStringLiteral("Content-Length")) &&
                              length <= static_cast<quint64>(std::numeric_limits<qint64>::max());
    if (usableLength) {
      if (receiving && allowCompressedResponse_ && length == 20 && showAccurateProgress_ &&
          shouldResetDownloadProgress_) {
        // 20 bytes is the size of an empty gzip body, not of the resource.
        receiving->setShowAccurateProgress(false);
        receiving->incrementDownloadSizeBy(1);
      } else {
        target.contentLength_ = length;
        if (showAccurateProgress_ && shouldResetDownloadProgress_) {
          const auto size = static_cast<qint64>(target.contentLength_ + target.partialDownloadSize_);
          target.incrementDownloadSizeBy(size);
          if (!receiving) attemptDownloadSize_ += size;
        }
      }
    } else if (showAccurateProgress_ && shouldResetDownloadProgress_) {
      target.showAccurateProgress_ = false;
      target.incrementDownloadSizeBy(1);
      if (!receiving) attemptDownloadSize_ += 1;
    }
  }

  if (shouldAttemptPersistentConnection_) {
    const QString connection = responseHeaders_->value(QStringLiteral("Connection")).toLower();
    const bool mayReuse = (!head->isHttp10() || connection == QLatin1String("keep-alive")) &&
                          connection != QLatin1String("close");
    if (mayReuse) {
      if (responseHeaders_->contains(QStringLiteral("Keep-Alive"))) {
        Scanner scanner(responseHeaders_->value(QStringLiteral("Keep-Alive")));
        int timeout = 0;
        int max = 0;
        scanner.scanLiteral(u"timeout=");
        scanner.scanInt(&timeout);
        scanner.scanUpTo(u"max=");
        scanner.scanLiteral(u"max=");
        scanner.scanInt(&max);
        if (max > 5) {
          connectionCanBeReused_ = true;
          persistentConnectionTimeoutSeconds_ = timeout;
        }
      } else {
        connectionCanBeReused_ = true;
      }
    }
  }

  if (!headersWillBeHeard()) return;
  auto request = self();
  const platform::StringMap headersCopy = *responseHeaders_;
  platform::performOnMainThread([request, headersCopy] { request->requestReceivedResponseHeaders(headersCopy); },
                                platform::isMainThread());
}

void HTTPRequest::parseStringEncodingFromHeaders() {
  StringEncoding encoding = 0;
  QString mimeType;
  if (responseHeaders_ && responseHeaders_->contains(QStringLiteral("Content-Type"))) {
    parseMimeType(&mimeType, &encoding, responseHeaders_->value(QStringLiteral("Content-Type")));
  }
  responseEncoding_ = encoding != 0 ? encoding : defaultResponseEncoding_;
}

// ---- Redirects ---------------------------------------------------------------------------------

bool HTTPRequest::willRedirect() {
  if (!shouldRedirect_ || !responseHeaders_ || !responseHeaders_->contains(QStringLiteral("Location"))) {
    return false;
  }
  const int status = responseStatusCode_;
  // 308 (RFC 9110 section 15.4.9) is the permanent 307: method and body stay.
  if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return false;

  auto request = self();
  platform::performOnMainThread([request] { request->requestRedirected(); }, platform::isMainThread());

  if (status == 307 || status == 308 || (shouldUseRFC2616RedirectBehaviour_ && status != 303)) {
    applyCookieHeader();
  } else {
    setRequestMethod(QStringLiteral("GET"));
    postBody_.clear();
    postLength_ = 0;
    platform::StringMap kept;
    for (const QString& name : {QStringLiteral("User-Agent"), QStringLiteral("Accept")}) {
      if (requestHeaders_.contains(name)) kept.insert(name, requestHeaders_.value(name));
    }
    requestHeaders_ = kept;
    haveBuiltRequestHeaders_ = false;
  }

  redirectURL_ = url_.resolved(locationURL(responseHeaders_->value(QStringLiteral("Location"))));
  if (!sameOrigin(url_, redirectURL_)) {
    // Credentials and cookies meant for one origin never travel to another.
    requestHeaders_.remove(QStringLiteral("Authorization"));
    requestHeaders_.remove(QStringLiteral("Cookie"));
    if (!url_.userName().isEmpty() && username_ == url_.userName()) {
      username_.clear();
      password_.clear();
    }
  }
  needsRedirect_ = true;
  requestCookies_.clear();
  return true;
}

bool HTTPRequest::willAskDelegateToConfirmRedirect() {
  QUrl target;
  {
    std::lock_guard lock(cancelledLock_);
    const bool delegateConfirms = platform::responds(delegate_, willRedirectSelector_);
    const bool queueConfirms = queue_ && queue_->respondsToSelector("request:willRedirectToURL:");
    if (!delegateConfirms && !queueConfirms) return false;
    target = redirectURL_;
    redirectURL_.clear();
  }
  auto request = self();
  platform::performOnMainThread([request, target] { request->requestWillRedirectToURL(target); },
                                platform::isMainThread());
  return true;
}

void HTTPRequest::redirectToURL(const QUrl& newURL) {
  {
    std::lock_guard lock(cancelledLock_);
    redirectURL_ = newURL;
  }
  auto request = self();
  std::shared_ptr<platform::RunLoop> loop;
  {
    std::lock_guard lock(cancelledLock_);
    loop = synchronousRunLoop_;
  }
  // A synchronous request goes on where it runs: on its caller's thread, in its private mode.
  if (loop) {
    loop->post([request] { request->performRedirect(); });
  } else {
    platform::performOnNetworkThread([request] { request->performRedirect(); });
  }
}

void HTTPRequest::performRedirect() {
  auto keepAlive = self();
  std::lock_guard lock(cancelledLock_);
  if (cancelled_) return;
  setURL(redirectURL_);
  complete_ = true;
  needsRedirect_ = false;
  ++redirectCount_;
  if (redirectCount_ > RedirectionLimit) {
    failWithError(TooMuchRedirectionError());
    complete_ = true;
    return;
  }
  main();
}

// ---- Response accessors ------------------------------------------------------------------------

bool HTTPRequest::isResponseCompressed() const {
  return responseHeaders_ && responseHeaders_->value(QStringLiteral("Content-Encoding")).contains(QLatin1String("gzip"));
}

QByteArray HTTPRequest::responseData() const {
  if (!rawResponseData_) return {};
  if (isResponseCompressed() && shouldWaitToInflateCompressedResponses_) {
    // Null also when the inflated body does not fit in memory.
    return compression::DataDecompressor::uncompressData(*rawResponseData_, nullptr);
  }
  return *rawResponseData_;
}

QString HTTPRequest::responseString() const {
  const QByteArray data = responseData();
  if (data.isNull()) return {};
  return decodeText(data, responseEncoding_);
}

// ---- Answers from the cache ----------------------------------------------------------------------

void HTTPRequest::useDataFromCache() {
  auto keepAlive = self();
  std::shared_ptr<HTTPRequest> measured = mainRequest_.lock();
  HTTPRequest& receiving = measured ? *measured : *this;
  std::shared_ptr<CacheDelegate> cache = downloadCache_.lock();
  if (cache) {
    // A body saved to a file is answered with the stored file itself; else it is read whole.
    const bool toFile = !receiving.downloadDestinationPath_.isEmpty();
    std::optional<CachedResponse> cached = cache->cachedResponseForRequest(*this, !toFile);
    if (cached && !cached->headers.isEmpty()) {
      const platform::StringMap& headers = cached->headers;
      responseStatusCode_ = headers.value(QStringLiteral("X-Cache-Response-Status-Code")).toInt();
      didUseCachedResponse_ = true;
      receiving.responseHeaders_ = headers;
      if (toFile) {
        receiving.downloadDestinationPath_ = cached->dataPath;
      } else {
        receiving.rawResponseData_ = std::move(cached->data);
      }
      receiving.contentLength_ = static_cast<quint64>(headers.value(QStringLiteral("Content-Length")).toLongLong());
      receiving.totalBytesRead_ = receiving.contentLength_;
      receiving.parseStringEncodingFromHeaders();
      receiving.responseCookies_.clear();
      for (const QNetworkCookie& cookie : cookies::CookieStore::cookiesWithResponseHeaderFields(headers, url_)) {
        receiving.responseCookies_.append(QVariant::fromValue(cookie));
      }
      if (willRedirect()) {
        if (!willAskDelegateToConfirmRedirect()) performRedirect();
        return;
      }
    }
  }
  receiving.complete_ = true;
  receiving.downloadComplete_ = true;
  if (receiving.redirectCount_ == 0) receiving.originalURL_ = receiving.url();
  receiving.updateProgressIndicators();
  receiving.requestFinished();
  receiving.markAsFinished();
  if (measured) markAsFinished();
}

}  // namespace http
