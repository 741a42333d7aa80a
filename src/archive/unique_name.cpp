// Unique tokens: the process id and a per-process counter make names distinct within one machine
// and one process; the random part keeps them unpredictable and apart across restarts.
#include "archive/unique_name.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>

namespace sevenzip {

std::string uniqueToken() {
  static std::atomic<uint64_t> counter{0};
  uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  uint64_t random = 0;
  if (getrandom(&random, sizeof(random), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(random))) {
    timespec ts;  // no entropy yet: the clock still differs between runs
    clock_gettime(CLOCK_REALTIME, &ts);
    random = static_cast<uint64_t>(ts.tv_sec) * 1000000007u ^ static_cast<uint64_t>(ts.tv_nsec);
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%d-%" PRIu64 "-%016" PRIx64, static_cast<int>(getpid()), n, random);
  return text;
}

}  // namespace sevenzip
