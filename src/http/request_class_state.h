// State shared by every request of the process: the locks, the persistent-connection pool, the
// counters, the shared queue and the class-wide settings.
#pragma once

#include "http/connection_record.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {
class OperationQueue;
}

namespace http {

class CacheDelegate;

// One instance per process, made on first use. Lock order: a request's cancelledLock first, then
// connectionsLock or progressLock.
struct RequestClassState {
  std::recursive_mutex connectionsLock;          // the pool, its records, runningRequestCount
  std::recursive_mutex progressLock;             // completion bookkeeping, indicator updates
  std::mutex bandwidthThrottlingLock;            // the bandwidth meter
  std::recursive_mutex sessionCookiesLock;       // session cookies
  std::recursive_mutex sessionCredentialsLock;   // session credentials
  std::recursive_mutex delegateAuthenticationLock;  // one credentials prompt at a time
  // Guards the questions to a delegate that requests wait for. Taken alone, never while it is
  // held: a request that finishes (holding its own lock) must be able to take it while another
  // request holds the prompt lock above and waits for its own.
  std::mutex pendingQuestionsLock;
  std::mutex classLock;                          // the default cache, the default user agent

  std::vector<std::shared_ptr<ConnectionRecord>> persistentConnectionsPool;  // connectionsLock
  int nextConnectionNumberToCreate = 0;          // connectionsLock
  int nextRequestID = 0;                         // connectionsLock
  int runningRequestCount = 0;                   // connectionsLock
  bool shouldUpdateNetworkActivityIndicator = true;  // connectionsLock

  std::atomic<double> defaultTimeOutSeconds{10.0};
  std::shared_ptr<platform::OperationQueue> sharedQueue;  // made once, never replaced
  std::shared_ptr<CacheDelegate> defaultCache;           // classLock
  QString defaultUserAgent;                              // classLock; null = not built
};

RequestClassState& classState();

}  // namespace http
