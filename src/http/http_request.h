// One HTTP request as an operation that a queue can run: its configuration, its running state on
// the network thread (or its caller's thread when synchronous), its result and its recipients.
#pragma once

#include "http/http_request_errors.h"
#include "http/transport/request_head.h"
#include "http/transport/tls_options.h"
#include "platform/error.h"
#include "platform/object.h"
#include "platform/operation.h"
#include "platform/run_loop.h"

#include <QByteArray>
#include <QDateTime>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QFile;
class QNetworkCookie;

namespace platform {
class OperationQueue;
}

namespace http::transport {
class HttpStream;
class BodyStream;
}  // namespace http::transport

namespace compression {
class DataDecompressor;
}

namespace http::auth {
class HttpAuthentication;
struct SessionCredentials;
}  // namespace http::auth
namespace http::proxy {
struct ProxyEntry;
}

namespace http {

class CacheDelegate;
class OutputFile;
struct ConnectionRecord;

// True when credentials given for `a` may be sent to `b`: same scheme, host and port (the
// scheme's default port when none is written).
bool sameOriginForCredentials(const QUrl& a, const QUrl& b);

// Text encodings, numbered as the platform numbers them (0 = none given).
using StringEncoding = quint64;
enum : StringEncoding {
  ASCIIStringEncoding = 1,
  JapaneseEUCStringEncoding = 3,
  UTF8StringEncoding = 4,
  ISOLatin1StringEncoding = 5,
  ShiftJISStringEncoding = 8,
  ISOLatin2StringEncoding = 9,
  UnicodeStringEncoding = 10,
  WindowsCP1251StringEncoding = 11,
  WindowsCP1252StringEncoding = 12,
  WindowsCP1253StringEncoding = 13,
  WindowsCP1254StringEncoding = 14,
  WindowsCP1250StringEncoding = 15,
  ISO2022JPStringEncoding = 21,
  MacOSRomanStringEncoding = 30,
  UTF16BigEndianStringEncoding = 0x90000100,
  UTF16LittleEndianStringEncoding = 0x94000100,
  UTF32StringEncoding = 0x8c000100,
  UTF32BigEndianStringEncoding = 0x98000100,
  UTF32LittleEndianStringEncoding = 0x9c000100,
};

// Version of the engine, the private run-loop mode of synchronous requests, the redirect limit.
inline const QString HTTPRequestVersion = QStringLiteral("v1.0");
inline const QString HTTPRequestRunLoopMode = QStringLiteral("HTTPRequestRunLoopMode");
inline constexpr int RedirectionLimit = 5;

// Declares a plain property: `name()` reads it, `setter(value)` writes it.
#define HTTP_REQUEST_PROPERTY(Type, name, setter)          \
 public:                                                   \
  const Type& name() const { return name##_; }             \
  void setter(const Type& value) { name##_ = value; }      \
                                                           \
 private:                                                  \
  Type name##_

class HTTPRequest : public platform::Operation {
  PLATFORM_OBJECT
 public:
  using Clock = std::chrono::steady_clock;
  using BasicBlock = std::function<void()>;
  using HeadersBlock = std::function<void(const platform::StringMap& headers)>;
  using ProgressBlock = std::function<void(qint64 amount, qint64 total)>;
  using SizeBlock = std::function<void(qint64 amount)>;
  using DataBlock = std::function<void(const QByteArray& data)>;

  // ---- Construction ----------------------------------------------------------------------
  // A request for `url` with every default. Use requestWithURL() (requests are shared objects).
  explicit HTTPRequest(const QUrl& url);
  ~HTTPRequest() override;

  static std::shared_ptr<HTTPRequest> requestWithURL(const QUrl& url);
  static std::shared_ptr<HTTPRequest> requestWithURL(const QUrl& url,
                                                     const std::shared_ptr<CacheDelegate>& cache,
                                                     int policy = 0);
  // A new request of the same class for the same URL carrying the configuration (not the run
  // state, results, queue, blocks or cache settings).
  virtual std::shared_ptr<HTTPRequest> copy() const;

  // ---- Operation states --------------------------------------------------------------------
  bool isConcurrent() const override { return true; }
  bool isFinished() const override;
  bool isExecuting() const override;
  bool isCancelled() const override;

  // ---- Starting (execution) ----------------------------------------------------------------
  // Adds the request to the shared queue (at most 4 at once).
  void startAsynchronous();
  // Entry used by operation queues: marks the request in progress and runs main() on the
  // network thread without waiting.
  void start() override;
  // Runs the request on the calling thread, serving only its own stream and timer, and returns
  // when it is complete.
  void startSynchronous();
  // Prepares the message and starts the connection (on the thread the request runs on).
  void main() override;
  // A HEAD request for the same resource, measuring this one.
  virtual std::shared_ptr<HTTPRequest> HEADRequest();
  // The id of the connection record in use, if any.
  std::optional<int> connectionID() const;

  // ---- Cancellation and failure -----------------------------------------------------------
  // Cancels from any thread: the work happens on the network thread.
  void cancel() override;
  // Forgets every callback recipient and block, then cancels.
  void clearDelegatesAndCancel();
  // Cancellation on the request's own thread.
  void cancelOnRequestThread();
  // The single failure path: the first error wins and is reported once.
  void failWithError(const platform::ErrorPtr& error);

  // ---- Request headers and body ------------------------------------------------------------
  // Sets a request header, replacing an earlier value of that name.
  void addRequestHeader(const QString& name, const QString& value);
  // Adds bytes to the body: in memory, or to the body file when shouldStreamPostDataFromDisk is
  // on (a temporary file unless postBodyFilePath names one; an existing file is rewritten).
  void appendPostData(const QByteArray& data);
  // Adds a file's contents to the body, 256 KiB at a time. A file that cannot be read whole, and
  // a body file that cannot be written, make buildPostBody fail the request (code 8, with the
  // path): a body with a hole is never sent.
  void appendPostDataFromFile(const QString& path);
  // Prepares the body for sending (once): compression, length, Content-Length, POST switch. On
  // failure the request has failed and nothing is sent.
  virtual void buildPostBody();
  // Adds the automatic headers (once).
  virtual void buildRequestHeaders();

  // ---- Response ----------------------------------------------------------------------------
  bool isResponseCompressed() const;
  // The body in memory, inflated when it is gzip and inflating was deferred (null on failure).
  QByteArray responseData() const;
  QString responseString() const;

  // ---- Redirects -----------------------------------------------------------------------------
  // Continues a redirect that the delegate or queue confirmed, to `newURL`.
  void redirectToURL(const QUrl& newURL);

  // ---- Guarded accessors (under cancelledLock) ---------------------------------------------
  QUrl url() const;
  void setURL(const QUrl& url);
  QString requestMethod() const;
  void setRequestMethod(const QString& method);
  std::weak_ptr<platform::Object> delegate() const;
  void setDelegate(const std::weak_ptr<platform::Object>& delegate);
  std::shared_ptr<platform::Object> queue() const;
  void setQueue(const std::shared_ptr<platform::Object>& queue);
  std::weak_ptr<platform::Object> uploadProgressDelegate() const;
  void setUploadProgressDelegate(const std::weak_ptr<platform::Object>& recipient);
  std::weak_ptr<platform::Object> downloadProgressDelegate() const;
  void setDownloadProgressDelegate(const std::weak_ptr<platform::Object>& recipient);

  // ---- Blocks (each setter keeps its own copy) ----------------------------------------------
  void setStartedBlock(BasicBlock block);
  void setHeadersReceivedBlock(HeadersBlock block);
  void setCompletionBlock(BasicBlock block);
  void setFailedBlock(BasicBlock block);
  void setBytesReceivedBlock(ProgressBlock block);
  void setBytesSentBlock(ProgressBlock block);
  void setDownloadSizeIncrementedBlock(SizeBlock block);
  void setUploadSizeIncrementedBlock(SizeBlock block);
  void setDataReceivedBlock(DataBlock block);
  void setAuthenticationNeededBlock(BasicBlock block);
  void setProxyAuthenticationNeededBlock(BasicBlock block);
  void setRequestRedirectedBlock(BasicBlock block);

  // ---- Progress ----------------------------------------------------------------------------
  void updateProgressIndicators();
  void updateDownloadProgress();
  void updateUploadProgress();
  void incrementDownloadSizeBy(qint64 length);
  void incrementUploadSizeBy(qint64 length);
  void removeUploadProgressSoFar();
  // Takes back what the previous attempt added to the download size and reported as received.
  void withdrawAttemptDownloadProgress();

  // ---- Authentication ------------------------------------------------------------------------
  // Sets "Authorization" to Basic with these credentials and the scheme to "Basic".
  void addBasicAuthenticationHeader(const QString& username, const QString& password);
  // Called by the delegate (any thread) after it set username/password (or the proxy ones):
  // the request answers its challenge with them on its own thread.
  void retryUsingSuppliedCredentials();
  // Called by the delegate to give up: the request fails with "Authentication needed".
  void cancelAuthentication();
  // Credentials from the URL, the main request, the request and (for servers only when
  // useKeychainPersistence, for proxies always) the system store; empty when none are complete.
  QVariantMap findCredentials();
  QVariantMap findProxyCredentials();
  // Puts `credentials` on the outgoing message with the current authentication object and
  // records them (system store, session store, requestCredentials / proxyCredentials).
  bool applyCredentials(const QVariantMap& credentials);
  bool applyProxyCredentials(const QVariantMap& credentials);
  // The session entry that serves this request, if any.
  std::shared_ptr<const auth::SessionCredentials> findSessionAuthenticationCredentials() const;
  std::shared_ptr<const auth::SessionCredentials> findSessionProxyAuthenticationCredentials() const;
  void saveCredentialsToKeychain(const QVariantMap& credentials);
  void saveProxyCredentialsToKeychain(const QVariantMap& credentials);
  // This platform has no credentials dialog.
  bool showAuthenticationDialog() const { return false; }
  bool showProxyAuthenticationDialog() const { return false; }

  // The process-wide session stores (copies of the entries, in order).
  static std::vector<std::shared_ptr<const auth::SessionCredentials>> sessionCredentialsStore();
  static std::vector<std::shared_ptr<const auth::SessionCredentials>> sessionProxyCredentialsStore();
  static void storeAuthenticationCredentialsInSessionStore(const auth::SessionCredentials& entry);
  static void storeProxyAuthenticationCredentialsInSessionStore(const auth::SessionCredentials& entry);
  // Remove the first entry holding the very same credentials dictionary (not an equal one).
  static void removeAuthenticationCredentialsFromSessionStore(const QVariantMap& credentials);
  static void removeProxyAuthenticationCredentialsFromSessionStore(const QVariantMap& credentials);
  // Empties both session stores.
  static void clearSessionCredentials();
  // The system credential store, by protection space.
  static void saveCredentials(const QVariantMap& credentials, const QString& host, int port,
                              const QString& protocol, const QString& realm);
  static void saveCredentialsForProxy(const QVariantMap& credentials, const QString& host, int port,
                                      const QString& realm);
  static QVariantMap savedCredentialsForHost(const QString& host, int port, const QString& protocol,
                                             const QString& realm);
  static QVariantMap savedCredentialsForProxy(const QString& host, int port, const QString& protocol,
                                              const QString& realm);
  static void removeCredentialsForHost(const QString& host, int port, const QString& protocol,
                                       const QString& realm);
  static void removeCredentialsForProxy(const QString& host, int port, const QString& realm);

  // ---- Class-wide settings and utilities -----------------------------------------------------
  static double defaultTimeOutSeconds();
  static void setDefaultTimeOutSeconds(double seconds);
  static std::shared_ptr<platform::OperationQueue> sharedQueue();
  static std::shared_ptr<CacheDelegate> defaultCache();
  static void setDefaultCache(const std::shared_ptr<CacheDelegate>& cache);
  // Closes and forgets every idle kept-alive connection whose time is up.
  static void expirePersistentConnections();
  // True while any request's stream is scheduled.
  static bool isNetworkInUse();
  static void setShouldUpdateNetworkActivityIndicator(bool update);

  static QString defaultUserAgentString();
  static void setDefaultUserAgentString(const QString& agent);
  // The MIME type of the file at `path`; null text when no file exists there.
  static QString mimeTypeForFileAtPath(const QString& path);
  static QString base64forData(const QByteArray& data);
  // When a finished request's response expires (maxAge 0: from its headers); null when never.
  static QDateTime expiryDateForRequest(const HTTPRequest& request, double maxAge);
  static QDateTime dateFromRFC1123String(const QString& text);
  // Splits a Content-Type value; `encoding` is left as it was unless a known charset is named.
  static void parseMimeType(QString* mimeType, StringEncoding* encoding, const QString& contentType);
  // Deletes the file at `path` if there is one; false (and a code 8 error) when that fails.
  static bool removeFileAtPath(const QString& path, platform::ErrorPtr* error);

  // ---- Bandwidth throttling (class-wide; every request shares one limit) ----------------------
  // The limit in bytes per second for everything received and sent; 0 = none (the start
  // value). Setting it wakes every request paused by the old limit at once.
  static void setMaxBandwidthPerSecond(quint64 bytes);
  static quint64 maxBandwidthPerSecond();
  static bool isBandwidthThrottled();
  static void incrementBandwidthUsedInLastSecond(quint64 bytes);
  // Closes a finished one-second window and computes the wake-up time.
  static void measureBandwidthUsage();
  // Mean bytes per second of the recent windows (kept whether or not a limit is set).
  static quint64 averageBandwidthUsedPerSecond();
  // How many request-body bytes may be read now.
  static quint64 maxUploadReadLength();

  // ---- Proxies -----------------------------------------------------------------------------
  // The proxy script request is done (its finish and failure callback).
  void finishedDownloadingPACFile(const std::shared_ptr<HTTPRequest>& scriptRequest);

  // ---- Cookies and session (http/cookies/request_cookies.cpp) --------------------------------
  // The cookies received during the process, one per (domain, path, name); empty at first.
  static QList<QNetworkCookie> sessionCookies();
  // Replaces the list, first deleting every cookie of the old list from the shared cookie store.
  static void setSessionCookies(const QList<QNetworkCookie>& cookies);
  // Adds `cookie` at the end, replacing a listed cookie with the same domain, path and name.
  static void addSessionCookie(const QNetworkCookie& cookie);
  // Forgets the process's session: the server session credentials, the cookies received during
  // the process (also from the shared cookie store) and the default cache's session store.
  static void clearSession();
  // Empties the server session credential store under sessionCredentialsLock (the proxy store
  // keeps its entries). Called by clearSession(); the authentication code owns that store.
  static void clearServerSessionCredentials();

  // ---- Delivery of calls to recipients that may go away --------------------------------------
  // Reads the recipient currently held in some field (a request's delegate, a queue's progress
  // indicator...). Called once when a call is prepared and again on the main thread at delivery.
  using RecipientField = std::function<std::shared_ptr<platform::Object>()>;
  // Calls `selector` with `args` on the recipient in `field`, on the main thread (at once when
  // already there, else queued). Nothing happens when the recipient does not answer `selector`,
  // either now or at delivery (a field cleared meanwhile drops the call). `keepAlive` is held
  // until delivery.
  static void performSelector(platform::Selector selector, const RecipientField& field,
                              platform::Arguments args, std::shared_ptr<void> keepAlive);
  // Sets the progress indicator in `field` to progress/total (as a double) through
  // performSelector, under the class-wide progress lock, if it answers setDoubleValue:.
  static void updateProgressIndicator(const RecipientField& field, quint64 progress, quint64 total);

  // ---- Plain properties ----------------------------------------------------------------------
  // Identity and addressing
  HTTP_REQUEST_PROPERTY(QUrl, originalURL, setOriginalURL);
  HTTP_REQUEST_PROPERTY(QUrl, redirectURL, setRedirectURL);
  HTTP_REQUEST_PROPERTY(bool, useHTTPVersionOne, setUseHTTPVersionOne) = false;
  HTTP_REQUEST_PROPERTY(std::optional<int>, requestID, setRequestID);
  HTTP_REQUEST_PROPERTY(qint64, tag, setTag) = 0;
  HTTP_REQUEST_PROPERTY(QVariantMap, userInfo, setUserInfo);
  HTTP_REQUEST_PROPERTY(std::weak_ptr<HTTPRequest>, mainRequest, setMainRequest);
  HTTP_REQUEST_PROPERTY(QString, userAgentString, setUserAgentString);
  // Request headers and body
  HTTP_REQUEST_PROPERTY(platform::StringMap, requestHeaders, setRequestHeaders);
  HTTP_REQUEST_PROPERTY(bool, haveBuiltRequestHeaders, setHaveBuiltRequestHeaders) = false;
  HTTP_REQUEST_PROPERTY(QVariantList, requestCookies, setRequestCookies);
  HTTP_REQUEST_PROPERTY(bool, useCookiePersistence, setUseCookiePersistence) = true;
  HTTP_REQUEST_PROPERTY(bool, allowCompressedResponse, setAllowCompressedResponse) = true;
  HTTP_REQUEST_PROPERTY(bool, shouldCompressRequestBody, setShouldCompressRequestBody) = false;
  HTTP_REQUEST_PROPERTY(QByteArray, postBody, setPostBody);
  HTTP_REQUEST_PROPERTY(QByteArray, compressedPostBody, setCompressedPostBody);
  HTTP_REQUEST_PROPERTY(bool, shouldStreamPostDataFromDisk, setShouldStreamPostDataFromDisk) = false;
  HTTP_REQUEST_PROPERTY(QString, postBodyFilePath, setPostBodyFilePath);
  HTTP_REQUEST_PROPERTY(QString, compressedPostBodyFilePath, setCompressedPostBodyFilePath);
  HTTP_REQUEST_PROPERTY(bool, didCreateTemporaryPostDataFile, setDidCreateTemporaryPostDataFile) = false;
  HTTP_REQUEST_PROPERTY(quint64, postLength, setPostLength) = 0;
  HTTP_REQUEST_PROPERTY(bool, haveBuiltPostBody, setHaveBuiltPostBody) = false;
  // Response
  HTTP_REQUEST_PROPERTY(int, responseStatusCode, setResponseStatusCode) = 0;
  HTTP_REQUEST_PROPERTY(QString, responseStatusMessage, setResponseStatusMessage);
  HTTP_REQUEST_PROPERTY(std::optional<platform::StringMap>, responseHeaders, setResponseHeaders);
  HTTP_REQUEST_PROPERTY(QVariantList, responseCookies, setResponseCookies);
  HTTP_REQUEST_PROPERTY(std::optional<QByteArray>, rawResponseData, setRawResponseData);
  HTTP_REQUEST_PROPERTY(quint64, contentLength, setContentLength) = 0;
  HTTP_REQUEST_PROPERTY(quint64, partialDownloadSize, setPartialDownloadSize) = 0;
  HTTP_REQUEST_PROPERTY(quint64, totalBytesRead, setTotalBytesRead) = 0;
  HTTP_REQUEST_PROPERTY(quint64, totalBytesSent, setTotalBytesSent) = 0;
  HTTP_REQUEST_PROPERTY(quint64, lastBytesRead, setLastBytesRead) = 0;
  HTTP_REQUEST_PROPERTY(quint64, lastBytesSent, setLastBytesSent) = 0;
  HTTP_REQUEST_PROPERTY(quint64, uploadBufferSize, setUploadBufferSize) = 0;
  HTTP_REQUEST_PROPERTY(StringEncoding, defaultResponseEncoding, setDefaultResponseEncoding) =
      ISOLatin1StringEncoding;
  HTTP_REQUEST_PROPERTY(StringEncoding, responseEncoding, setResponseEncoding) = 0;
  HTTP_REQUEST_PROPERTY(bool, shouldWaitToInflateCompressedResponses,
                        setShouldWaitToInflateCompressedResponses) = true;
  HTTP_REQUEST_PROPERTY(QString, downloadDestinationPath, setDownloadDestinationPath);
  HTTP_REQUEST_PROPERTY(QString, temporaryFileDownloadPath, setTemporaryFileDownloadPath);
  HTTP_REQUEST_PROPERTY(QString, temporaryUncompressedDataDownloadPath,
                        setTemporaryUncompressedDataDownloadPath);
  HTTP_REQUEST_PROPERTY(bool, allowResumeForFileDownloads, setAllowResumeForFileDownloads) = false;
  // The error (guarded: callbacks on the main thread read it while the request runs).
 public:
  platform::ErrorPtr error() const;
  void setError(const platform::ErrorPtr& error);

 private:
  platform::ErrorPtr error_;  // cancelledLock
  // Run state
  HTTP_REQUEST_PROPERTY(bool, complete, setComplete) = false;
  HTTP_REQUEST_PROPERTY(bool, inProgress, setInProgress) = false;
  HTTP_REQUEST_PROPERTY(bool, downloadComplete, setDownloadComplete) = false;
  HTTP_REQUEST_PROPERTY(bool, needsRedirect, setNeedsRedirect) = false;
  HTTP_REQUEST_PROPERTY(int, redirectCount, setRedirectCount) = 0;
  HTTP_REQUEST_PROPERTY(bool, shouldRedirect, setShouldRedirect) = true;
  HTTP_REQUEST_PROPERTY(bool, shouldUseRFC2616RedirectBehaviour,
                        setShouldUseRFC2616RedirectBehaviour) = false;
  HTTP_REQUEST_PROPERTY(int, retryCount, setRetryCount) = 0;
  HTTP_REQUEST_PROPERTY(int, numberOfTimesToRetryOnTimeout, setNumberOfTimesToRetryOnTimeout) = 0;
  HTTP_REQUEST_PROPERTY(bool, willRetryRequest, setWillRetryRequest) = false;
  HTTP_REQUEST_PROPERTY(double, timeOutSeconds, setTimeOutSeconds) = 10.0;
  HTTP_REQUEST_PROPERTY(std::optional<Clock::time_point>, lastActivityTime, setLastActivityTime);
  HTTP_REQUEST_PROPERTY(QString, runLoopMode, setRunLoopMode) = platform::kDefaultRunLoopMode;
  HTTP_REQUEST_PROPERTY(bool, isSynchronous, setSynchronous) = false;
  HTTP_REQUEST_PROPERTY(bool, readStreamIsScheduled, setReadStreamIsScheduled) = false;
  // Connections, security and proxy
  HTTP_REQUEST_PROPERTY(bool, shouldAttemptPersistentConnection,
                        setShouldAttemptPersistentConnection) = true;
  HTTP_REQUEST_PROPERTY(double, persistentConnectionTimeoutSeconds,
                        setPersistentConnectionTimeoutSeconds) = 60.0;
  HTTP_REQUEST_PROPERTY(bool, connectionCanBeReused, setConnectionCanBeReused) = false;
  HTTP_REQUEST_PROPERTY(bool, validatesSecureCertificate, setValidatesSecureCertificate) = true;
  HTTP_REQUEST_PROPERTY(QList<QSslCertificate>, clientCertificates, setClientCertificates);
  HTTP_REQUEST_PROPERTY(QString, proxyHost, setProxyHost);
  HTTP_REQUEST_PROPERTY(int, proxyPort, setProxyPort) = 0;
  HTTP_REQUEST_PROPERTY(QString, proxyType, setProxyType);
  HTTP_REQUEST_PROPERTY(QUrl, PACurl, setPACurl);
  HTTP_REQUEST_PROPERTY(bool, isPACFileRequest, setIsPACFileRequest) = false;
  // Credentials
  HTTP_REQUEST_PROPERTY(QString, username, setUsername);
  HTTP_REQUEST_PROPERTY(QString, password, setPassword);
  HTTP_REQUEST_PROPERTY(QString, domain, setDomain);
  HTTP_REQUEST_PROPERTY(QString, proxyUsername, setProxyUsername);
  HTTP_REQUEST_PROPERTY(QString, proxyPassword, setProxyPassword);
  HTTP_REQUEST_PROPERTY(QString, proxyDomain, setProxyDomain);
  HTTP_REQUEST_PROPERTY(QString, authenticationRealm, setAuthenticationRealm);
  HTTP_REQUEST_PROPERTY(QString, proxyAuthenticationRealm, setProxyAuthenticationRealm);
  HTTP_REQUEST_PROPERTY(QString, authenticationScheme, setAuthenticationScheme);
  HTTP_REQUEST_PROPERTY(QString, proxyAuthenticationScheme, setProxyAuthenticationScheme);
  HTTP_REQUEST_PROPERTY(QVariantMap, requestCredentials, setRequestCredentials);
  HTTP_REQUEST_PROPERTY(QVariantMap, proxyCredentials, setProxyCredentials);
  HTTP_REQUEST_PROPERTY(int, authenticationRetryCount, setAuthenticationRetryCount) = 0;
  HTTP_REQUEST_PROPERTY(int, proxyAuthenticationRetryCount, setProxyAuthenticationRetryCount) = 0;
  HTTP_REQUEST_PROPERTY(bool, useKeychainPersistence, setUseKeychainPersistence) = false;
  HTTP_REQUEST_PROPERTY(bool, useSessionPersistence, setUseSessionPersistence) = true;
  HTTP_REQUEST_PROPERTY(bool, shouldPresentAuthenticationDialog,
                        setShouldPresentAuthenticationDialog) = false;
  HTTP_REQUEST_PROPERTY(bool, shouldPresentProxyAuthenticationDialog,
                        setShouldPresentProxyAuthenticationDialog) = true;
  HTTP_REQUEST_PROPERTY(bool, shouldPresentCredentialsBeforeChallenge,
                        setShouldPresentCredentialsBeforeChallenge) = true;
  HTTP_REQUEST_PROPERTY(int, authenticationNeeded, setAuthenticationNeeded) = 0;
  // Caching
  HTTP_REQUEST_PROPERTY(std::weak_ptr<CacheDelegate>, downloadCache, setDownloadCache);
  HTTP_REQUEST_PROPERTY(int, cachePolicy, setCachePolicy) = 0;
  HTTP_REQUEST_PROPERTY(int, cacheStoragePolicy, setCacheStoragePolicy) = 0;
  HTTP_REQUEST_PROPERTY(double, secondsToCache, setSecondsToCache) = 0;
  HTTP_REQUEST_PROPERTY(bool, didUseCachedResponse, setDidUseCachedResponse) = false;
  // Progress and callback names
  HTTP_REQUEST_PROPERTY(bool, showAccurateProgress, setShowAccurateProgress) = true;
  HTTP_REQUEST_PROPERTY(bool, shouldResetUploadProgress, setShouldResetUploadProgress) = true;
  HTTP_REQUEST_PROPERTY(bool, shouldResetDownloadProgress, setShouldResetDownloadProgress) = true;
  HTTP_REQUEST_PROPERTY(bool, updatedProgress, setUpdatedProgress) = false;
  HTTP_REQUEST_PROPERTY(platform::Selector, didStartSelector, setDidStartSelector) =
      platform::Selector("requestStarted:");
  HTTP_REQUEST_PROPERTY(platform::Selector, didReceiveResponseHeadersSelector,
                        setDidReceiveResponseHeadersSelector) =
      platform::Selector("request:didReceiveResponseHeaders:");
  HTTP_REQUEST_PROPERTY(platform::Selector, willRedirectSelector, setWillRedirectSelector) =
      platform::Selector("request:willRedirectToURL:");
  HTTP_REQUEST_PROPERTY(platform::Selector, didFinishSelector, setDidFinishSelector) =
      platform::Selector("requestFinished:");
  HTTP_REQUEST_PROPERTY(platform::Selector, didFailSelector, setDidFailSelector) =
      platform::Selector("requestFailed:");
  HTTP_REQUEST_PROPERTY(platform::Selector, didReceiveDataSelector, setDidReceiveDataSelector) =
      platform::Selector("request:didReceiveData:");

 public:
  // The client identity presented to servers that ask for one (certificate and key).
  void setClientCertificateIdentity(const QSslCertificate& certificate, const QSslKey& key);
  // The request's own recursive lock (see the class comment).
  std::recursive_mutex& cancelledLock() const { return cancelledLock_; }
  // This request as a shared pointer of its own class; null while it is being destroyed.
  std::shared_ptr<HTTPRequest> self() {
    return std::static_pointer_cast<HTTPRequest>(weak_from_this().lock());
  }

 protected:
  // A new, empty request of this request's class (subclasses override so copies keep it).
  virtual std::shared_ptr<HTTPRequest> makeRequestOfSameClass(const QUrl& url) const;

  // Hooks the request calls where set-up and completion need them; each does nothing here
  // beyond what this engine offers (no shared cookie store, credential store, proxy discovery
  // or bandwidth limit yet).
  virtual void applyCookieHeader();
  virtual void applyAuthorizationHeader();
  // True when the request can start now (no proxy script has to be fetched first).
  virtual bool configureProxies();
  virtual void performThrottling();
  virtual void attemptToApplyCredentialsAndResume();
  // The finish step once the transfer is complete: reports the finish (subclasses that go on
  // working after the transfer, such as the web page request, override it).
  virtual void requestFinished();
  // Marks the operation finished (no longer executing).
  virtual void markAsFinished();
  // Starts the request again once on a new connection (false when it was retried already).
  bool retryOnNewConnection() { return retryUsingNewConnection(); }
  // Keeps the first problem met while the body was filled (a file that cannot be read...):
  // buildPostBody fails the request with it once the request has started, so that the failure
  // reaches every recipient, a queue included (queues build bodies when requests are added).
  void notePostBodyError(const platform::ErrorPtr& error);

 private:
  // Execution
  void startRequest();
  void handleNetworkEvent(int event);
  void handleBytesAvailable();
  // True when received bytes go to the data callback or block instead of memory or a file.
  bool dataGoesToCallback() const;
  void handleStreamComplete();
  void handleStreamError();
  void scheduleReadStream();
  void unscheduleReadStream();
  void destroyReadStream();
  // Status checks (time-outs, upload progress, throttling) every quarter of a second while the
  // stream runs, by the thread's StatusTicks.
  void startStatusChecks();
  void stopStatusChecks();
  bool checksStatusFor(std::uint64_t generation) const;
  void updateStatus();
  friend class StatusTicks;
  // Response
  void readResponseHeaders();
  bool willRedirect();
  bool willAskDelegateToConfirmRedirect();
  void performRedirect();
  void parseStringEncodingFromHeaders();
  // Takes the cookies a response sets (its "Set-Cookie" entries) for url: they become
  // responseCookies and, with useCookiePersistence, go to the shared store and the session list.
  void receiveResponseCookies(const platform::StringMap& headers);
  void updatePartialDownloadSize();
  void useDataFromCache();
  // Writes received bytes to the download file, and their inflation to the inflated file when
  // a gzip body is inflated on the fly (in bounded pieces, whatever the ratio).
  void writeDownloadData(const QByteArray& raw);
  platform::ErrorPtr finishDownloadFiles();
  bool removeTemporaryDownloadFile();
  bool removeTemporaryUncompressedDownloadFile();
  bool removeTemporaryUploadFile();
  bool removeTemporaryCompressedUploadFile();
  bool removeTemporaryFile(QString* pathField);
  // Failures
  void checkRequestStatus();
  bool shouldTimeOut() const;
  bool retryUsingNewConnection();
  // Tears down a timed-out attempt so the retry starts consistent: the stalled connection and
  // its record are dropped, download files flushed and closed, and a resumable download asks
  // for the bytes after those really on disk (anything else starts from nothing).
  void prepareRetryAfterTimeOut();
  // Removes the connection record in use from the pool and closes its connection.
  void dropConnectionRecord();
  // Flushes and closes the download files of this attempt; false when buffered bytes could not
  // be written.
  bool closeDownloadOutputs();
  // The failure of a finished download whose file size disagrees with what the response
  // announced (Content-Range total or Content-Length); null when it agrees or nothing was said.
  platform::ErrorPtr downloadSizeError(qint64 fileSize) const;
  // True when this attempt appends to a partial file of an earlier one (the server resumed).
  bool resumedIntoPartialFile() const;
  void cancelLoad();
  void setCancelledFlag();
  // Authentication
  struct AuthSide;
  AuthSide authSide(bool proxy);
  void answerChallenge(bool proxy);
  void attemptToApplyProxyCredentialsAndResume();
  bool willAskDelegateForCredentials();
  bool willAskDelegateForProxyCredentials();
  void askDelegateForCredentials();
  void askDelegateForProxyCredentials();
  void failAuthentication();
  void restartForAuthentication();
  bool applyCredentialsFor(bool proxy, const QVariantMap& credentials);
  QByteArray authenticationTarget(bool proxy) const;
  QByteArray authenticationMethod(bool proxy) const;
  bool mayUseRequestCredentials() const;
  void storeBasicCredentialsAfterSuccess();
  QString questionKey(bool proxy) const;
  bool waitForQuestion(bool proxy);
  void noteQuestion(bool proxy);
  void releaseAuthenticationWaiters();
  // Callbacks
  enum class Recipient { Delegate, Queue, UploadProgress, DownloadProgress };
  RecipientField recipientField(Recipient which);
  // The recipient `which` names at this moment (null when none).
  std::shared_ptr<platform::Object> recipientNow(Recipient which) const;
  // updateProgressIndicator() for this request's indicator `which`, when it has one.
  void showProgress(Recipient which, quint64 progress, quint64 total);
  // Sends `selector` with this request and `amount` to the queue, then to the progress recipient
  // `which`, each through performSelector.
  void reportAmount(platform::Selector selector, Recipient which, qint64 amount);
  // Runs the block held in `field` with `args` on the main thread, if the field still holds one
  // when the call runs there.
  template <class Block, class... A>
  void callBlockOnMainThread(Block HTTPRequest::*field, A... args);
  // A copy of the block in `field`, taken under cancelledLock (blocks may be released from
  // another thread while a report runs).
  template <class Block>
  Block blockNow(Block HTTPRequest::*field) const;
  // True when the start (or headers) report reaches anyone: the delegate answering its selector,
  // the block, or the queue answering the queue's form. Nobody listening, the report is not
  // posted to the main thread at all.
  bool startWillBeHeard() const;
  bool headersWillBeHeard() const;
  void requestStarted();
  void requestReceivedResponseHeaders(const platform::StringMap& headers);
  void requestWillRedirectToURL(const QUrl& url);
  void requestRedirected();
  void reportFinished();
  void reportFailure();
  // Reports the end of a PAC file request (`report`) to the request that waits for it.
  void reportPACFileEnd(std::function<void()> report);
  void passOnReceivedData(const QByteArray& data);
  void releaseBlocksOnMainThread();
  // Body
  void setupPostBody();
  void closePostBodyWriteFile();
  // Throttling
  void pauseForThrottling(Clock::time_point wakeUpTime);
  void resumeAfterThrottling();
  // The stream's event callback (set when the stream opens and when it is scheduled again).
  void setReadStreamClient();
  // A body stream for `source`, held to the bandwidth limit.
  std::shared_ptr<transport::BodyStream> throttledBodyStream(
      std::shared_ptr<transport::BodyStream> source);
  // Proxies
  void fetchPACFile();
  void runPACScript(const QString& script);
  void readPACFile();
  void finishReadingPACFile(bool atEnd);
  void timeOutPACRead();
  // Drops a proxy script read or request under way (cancelLoad).
  void cancelPACFetch();
  // Sets proxyHost, proxyPort and proxyType (and, when none are set, the proxy credentials)
  // from one entry of a proxy list.
  void takeProxyFrom(const proxy::ProxyEntry& entry);
  // Fails the request with a body problem; before the request has started, only keeps it
  // (see notePostBodyError).
  void failPostBody(const platform::ErrorPtr& error);
  // The stream the transport reads the body from: the compressed copy when there is one, else
  // the body file or the bytes in memory; null when nothing is to be sent. False (with the
  // request failed) when the body file has gone.
  bool makePostBodyReadStream();
  // Removes the body files this request created itself (quietly: the request has ended).
  void discardTemporaryUploadFiles();

  mutable std::recursive_mutex cancelledLock_;

  // Guarded fields (cancelledLock)
  QUrl url_;
  QString requestMethod_ = QStringLiteral("GET");
  std::weak_ptr<platform::Object> delegate_;
  std::shared_ptr<platform::Object> queue_;
  std::weak_ptr<platform::Object> uploadProgressDelegate_;
  std::weak_ptr<platform::Object> downloadProgressDelegate_;
  bool cancelled_ = false;
  bool finished_ = false;

  // Blocks, released on the main thread
  BasicBlock startedBlock_;
  HeadersBlock headersReceivedBlock_;
  BasicBlock completionBlock_;
  BasicBlock failureBlock_;
  ProgressBlock bytesReceivedBlock_;
  ProgressBlock bytesSentBlock_;
  SizeBlock downloadSizeIncrementedBlock_;
  SizeBlock uploadSizeIncrementedBlock_;
  DataBlock dataReceivedBlock_;
  BasicBlock authenticationNeededBlock_;
  BasicBlock proxyAuthenticationNeededBlock_;
  BasicBlock requestRedirectedBlock_;

  // Connection state
  std::optional<transport::RequestHead> requestMessage_;  // the prepared head; null until main()
  std::shared_ptr<transport::HttpStream> readStream_;
  std::shared_ptr<transport::BodyStream> postBodyReadStream_;
  std::shared_ptr<ConnectionRecord> connectionInfo_;
  std::atomic<std::uint64_t> statusCheckGeneration_{0};  // 0 while no status checks run
  std::shared_ptr<compression::DataDecompressor> dataDecompressor_;
  std::unique_ptr<OutputFile> fileDownloadOutputStream_;
  std::unique_ptr<OutputFile> inflatedFileDownloadOutputStream_;
  std::unique_ptr<QFile> postBodyWriteStream_;
  platform::ErrorPtr postBodyError_;  // first failure while filling the body; null when none
  bool didCreateCompressedPostBodyFile_ = false;  // compressedPostBodyFilePath is ours to remove
  std::shared_ptr<const transport::ClientIdentity> clientIdentity_;  // null: none
  // The caller's private loop while startSynchronous() runs (cancelledLock); null otherwise.
  std::shared_ptr<platform::RunLoop> synchronousRunLoop_;
  // Download size this attempt announced from its own response head, and bytes it reported:
  // taken back when another attempt starts, so a retry never counts the body twice.
  qint64 attemptDownloadSize_ = 0;
  qint64 attemptDownloadReported_ = 0;

  // Authentication state (see request_authentication.cpp)
  std::shared_ptr<auth::HttpAuthentication> requestAuthentication_;  // from the last 401
  std::shared_ptr<auth::HttpAuthentication> proxyAuthentication_;    // from the last 407
  int authenticationRestarts_ = 0;        // restarts to answer challenges (bounded)
  bool credentialsSuppliedForURL_ = false;  // the delegate supplied username/password for url_
  // Throttling state (the request's thread)
  std::shared_ptr<platform::Timer> throttleWakeTimer_;  // resumes a paused stream on time
  bool throttlePaused_ = false;             // the stream is off its loop because of the limit
  bool throttleWaiterRegistered_ = false;   // a limit change will look at this request again

  // Proxy script fetching state (the request's thread)
  std::shared_ptr<HTTPRequest> PACFileRequest_;        // the script download under way
  int PACFileReadStream_ = -1;                         // the script file (non-blocking), or -1
  std::shared_ptr<platform::Timer> PACFileReadTimer_;  // reads the file piece by piece
  std::shared_ptr<platform::Timer> PACReadTimeOut_;    // gives the file read up
  std::optional<QByteArray> PACFileData_;              // bytes of the script read so far
};

}  // namespace http
