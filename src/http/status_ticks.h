// The status checks of running requests (time-outs, upload progress, throttling): one repeating
// timer per thread and run loop mode serves every request started there, instead of a timer
// made and stopped for each (which cost a small download more than parsing its response).
#pragma once

#include <QString>

#include <cstdint>
#include <memory>

namespace http {

class HTTPRequest;

// How often a running request's status is checked.
inline constexpr double kStatusCheckInterval = 0.25;

// Thread: the thread whose loop serves the request (the one that started its stream).
class StatusTicks {
 public:
  // Checks `request` every `intervalSeconds` on the calling thread's loop for `mode` (the first
  // check comes within one interval) for as long as its status check generation is still
  // `generation`; a request that starts again registers anew with a new generation, and one
  // that is gone is dropped.
  static void add(const std::shared_ptr<HTTPRequest>& request, std::uint64_t generation,
                  double intervalSeconds, const QString& mode);
  // Drops `request` at once from the calling thread's checks in `mode` (a request whose
  // generation changed is otherwise dropped at the next check).
  static void remove(const HTTPRequest* request, const QString& mode);

 private:
  struct Ticker;
  static Ticker* tickerFor(const QString& mode, bool make);
  static void tick(Ticker& ticker);
};

}  // namespace http
