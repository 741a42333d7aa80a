// One repeating timer per thread and run loop mode for the status checks of its requests.
#include "http/status_ticks.h"

#include "http/http_request.h"
#include "platform/run_loop.h"

#include <vector>

namespace http {

// The requests checked on one thread in one mode, and the timer that checks them while any is.
struct StatusTicks::Ticker {
  struct Entry {
    std::weak_ptr<HTTPRequest> request;
    const HTTPRequest* identity = nullptr;
    std::uint64_t generation = 0;
  };
  QString mode;
  std::vector<Entry> entries;
  std::shared_ptr<platform::Timer> timer;
};

void StatusTicks::tick(Ticker& ticker) {
  // A check may start a request again (a retry after a time-out), which registers it anew: the
  // entries are taken first, and those still wanted go back after any added meanwhile.
  std::vector<Ticker::Entry> due;
  due.swap(ticker.entries);
  for (Ticker::Entry& entry : due) {
    std::shared_ptr<HTTPRequest> request = entry.request.lock();
    if (!request || !request->checksStatusFor(entry.generation)) continue;
    ticker.entries.push_back(entry);
    request->updateStatus();
  }
  if (ticker.entries.empty() && ticker.timer) {
    // Nothing left to check: the timer stops until a request registers again.
    ticker.timer->invalidate();
    ticker.timer.reset();
  }
}

StatusTicks::Ticker* StatusTicks::tickerFor(const QString& mode, bool make) {
  // A thread's tickers live as long as the thread: their timers' callbacks refer to them.
  thread_local std::vector<std::unique_ptr<Ticker>> tickers;
  for (const auto& ticker : tickers) {
    if (ticker->mode == mode) return ticker.get();
  }
  if (!make) return nullptr;
  tickers.push_back(std::make_unique<Ticker>());
  tickers.back()->mode = mode;
  return tickers.back().get();
}

void StatusTicks::add(const std::shared_ptr<HTTPRequest>& request, std::uint64_t generation,
                      double intervalSeconds, const QString& mode) {
  Ticker* ticker = tickerFor(mode, true);
  ticker->entries.push_back({request, request.get(), generation});
  if (ticker->timer && ticker->timer->isValid()) return;
  ticker->timer = platform::Timer::scheduleOnCurrent(
      intervalSeconds, true, [ticker](platform::Timer&) { tick(*ticker); }, mode);
}

void StatusTicks::remove(const HTTPRequest* request, const QString& mode) {
  // The request's memory goes back only when no entry refers to it any more.
  Ticker* ticker = tickerFor(mode, false);
  if (!ticker) return;
  std::erase_if(ticker->entries,
                [request](const Ticker::Entry& entry) { return entry.identity == request; });
}

}  // namespace http
