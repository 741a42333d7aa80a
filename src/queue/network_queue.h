// A queue that runs many requests side by side and presents them as one job: overall progress,
// reports forwarded to one delegate under names of its choosing, and one queue-finished call.
#pragma once

#include "http/http_request.h"
#include "platform/operation_queue.h"

#include <QVariantMap>

#include <map>
#include <memory>
#include <mutex>

namespace queue {

// Starts suspended (fill it, then go()), at most 4 requests at once. Requests report to it on
// the main thread; it forwards to its delegate and adds their progress up. It keeps no lock of
// its own: add requests from one thread before go() (reports then arrive on the main thread).
// The delegate and the progress indicators are held weakly.
// Thread: adding and settings on the caller's thread; reports on the main thread.
class NetworkQueue : public platform::OperationQueue {
  PLATFORM_OBJECT
 public:
  // A new queue: suspended, limit 4, cancelling the rest when one request fails.
  static std::shared_ptr<NetworkQueue> queue();
  NetworkQueue();
  ~NetworkQueue() override;

  // Resumes the queue.
  void go();
  // Cancels everything, forgets the delegate, the indicators and the callback names (all but the
  // redirect one), and suspends the queue.
  void reset();
  // Zeroes the byte counters, then cancels every request (each reports its own failure).
  void cancelAllOperations() override;
  // Adds a request. Throws platform::NamedException "AttemptToAddInvalidRequest" for anything
  // that is not an HTTPRequest, and "AttemptToAddRequestTwice" for a request this queue already
  // holds (nothing is added then).
  void addOperation(const std::shared_ptr<platform::Operation>& operation) override;
  // Adds a measuring HEAD request at priority 10; anything but a request is ignored.
  void addHEADOperation(const std::shared_ptr<platform::Operation>& operation);
  // A new queue with this one's delegate, callback names, indicators (reset), flags and user
  // info; no operations, counters or limit.
  std::shared_ptr<NetworkQueue> copy() const;

  // Answers for the reports it forwards only when its delegate will really answer them.
  bool respondsToSelector(platform::Selector selector) const override;

  // ---- Settings ----
  std::weak_ptr<platform::Object> delegate() const { return delegate_; }
  void setDelegate(const std::weak_ptr<platform::Object>& delegate) { delegate_ = delegate; }
  std::weak_ptr<platform::Object> uploadProgressDelegate() const { return uploadProgressDelegate_; }
  void setUploadProgressDelegate(const std::weak_ptr<platform::Object>& indicator);
  std::weak_ptr<platform::Object> downloadProgressDelegate() const { return downloadProgressDelegate_; }
  void setDownloadProgressDelegate(const std::weak_ptr<platform::Object>& indicator);

  platform::Selector requestDidStartSelector() const { return requestDidStartSelector_; }
  void setRequestDidStartSelector(platform::Selector s) { requestDidStartSelector_ = s; }
  platform::Selector requestDidReceiveResponseHeadersSelector() const { return requestDidReceiveResponseHeadersSelector_; }
  void setRequestDidReceiveResponseHeadersSelector(platform::Selector s) { requestDidReceiveResponseHeadersSelector_ = s; }
  platform::Selector requestWillRedirectSelector() const { return requestWillRedirectSelector_; }
  void setRequestWillRedirectSelector(platform::Selector s) { requestWillRedirectSelector_ = s; }
  platform::Selector requestDidFinishSelector() const { return requestDidFinishSelector_; }
  void setRequestDidFinishSelector(platform::Selector s) { requestDidFinishSelector_ = s; }
  platform::Selector requestDidFailSelector() const { return requestDidFailSelector_; }
  void setRequestDidFailSelector(platform::Selector s) { requestDidFailSelector_ = s; }
  platform::Selector queueDidFinishSelector() const { return queueDidFinishSelector_; }
  void setQueueDidFinishSelector(platform::Selector s) { queueDidFinishSelector_ = s; }

  bool shouldCancelAllRequestsOnFailure() const { return shouldCancelAllRequestsOnFailure_; }
  void setShouldCancelAllRequestsOnFailure(bool cancel) { shouldCancelAllRequestsOnFailure_ = cancel; }
  bool showAccurateProgress() const { return showAccurateProgress_; }
  void setShowAccurateProgress(bool accurate) { showAccurateProgress_ = accurate; }
  const QVariantMap& userInfo() const { return userInfo_; }
  void setUserInfo(const QVariantMap& info) { userInfo_ = info; }

  int requestsCount() const { return requestsCount_; }
  quint64 bytesUploadedSoFar() const { return bytesUploadedSoFar_; }
  quint64 totalBytesToUpload() const { return totalBytesToUpload_; }
  quint64 bytesDownloadedSoFar() const { return bytesDownloadedSoFar_; }
  quint64 totalBytesToDownload() const { return totalBytesToDownload_; }

  // ---- Reports from requests (main thread) ----
  void requestStarted(const std::shared_ptr<http::HTTPRequest>& request);
  void requestReceivedResponseHeaders(const std::shared_ptr<http::HTTPRequest>& request,
                                      const platform::StringMap& headers);
  void requestWillRedirect(const std::shared_ptr<http::HTTPRequest>& request, const QUrl& url);
  void requestFinished(const std::shared_ptr<http::HTTPRequest>& request);
  void requestFailed(const std::shared_ptr<http::HTTPRequest>& request);
  void requestReceivedBytes(const std::shared_ptr<http::HTTPRequest>& request, qint64 bytes);
  void requestSentBytes(const std::shared_ptr<http::HTTPRequest>& request, qint64 bytes);
  void requestIncrementedDownloadSize(const std::shared_ptr<http::HTTPRequest>& request, qint64 bytes);
  void requestIncrementedUploadSize(const std::shared_ptr<http::HTTPRequest>& request, qint64 bytes);
  void authenticationNeededForRequest(const std::shared_ptr<http::HTTPRequest>& request);
  void proxyAuthenticationNeededForRequest(const std::shared_ptr<http::HTTPRequest>& request);

 private:
  enum class Indicator { Upload, Download };
  http::HTTPRequest::RecipientField indicatorField(Indicator which) const;
  // Sets the indicator's maximum to 1.0 and its value to 0, on the main thread.
  void resetProgressDelegate(Indicator which);
  std::shared_ptr<NetworkQueue> selfQueue() const;
  // What one request was expected to move and has moved so far, in the queue's units.
  struct Balance {
    qint64 downloadExpected = 0;
    qint64 downloadReceived = 0;
    qint64 uploadExpected = 0;
    qint64 uploadSent = 0;
  };
  // A request that ended (finished or failed) has moved all it will: whatever it was expected to
  // move and did not (a failure, a HEAD or 304 answer without body, a GET that sends nothing)
  // is counted as moved, so that a queue whose requests all ended stands at its full value.
  void settleProgress(const std::shared_ptr<http::HTTPRequest>& request);

  std::weak_ptr<platform::Object> delegate_;
  std::weak_ptr<platform::Object> uploadProgressDelegate_;
  std::weak_ptr<platform::Object> downloadProgressDelegate_;
  platform::Selector requestDidStartSelector_;
  platform::Selector requestDidReceiveResponseHeadersSelector_;
  platform::Selector requestWillRedirectSelector_;
  platform::Selector requestDidFinishSelector_;
  platform::Selector requestDidFailSelector_;
  platform::Selector queueDidFinishSelector_;
  quint64 bytesUploadedSoFar_ = 0;
  quint64 totalBytesToUpload_ = 0;
  quint64 bytesDownloadedSoFar_ = 0;
  quint64 totalBytesToDownload_ = 0;
  bool shouldCancelAllRequestsOnFailure_ = true;
  int requestsCount_ = 0;
  bool showAccurateProgress_ = false;
  QVariantMap userInfo_;
  std::mutex balancesMutex_;  // requests are added on one thread and report on the main thread
  std::map<const http::HTTPRequest*, Balance> balances_;  // balancesMutex_; until the request ends
};

}  // namespace queue
