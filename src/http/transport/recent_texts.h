// Texts that repeat from one response to the next, shared instead of made again: most responses
// of a run repeat the field names and many of the values of the one before ("Server", "nginx",
// "keep-alive", the Date of the same second), and a shared copy costs no allocation.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace http::transport {

// A small table of recent texts made from short byte strings, by the bytes' hash (a newer text
// takes the place of an older one with the same hash). One table per thread and purpose; none is
// shared between threads.
template <typename Text>
class RecentTexts {
 public:
  // The text `make(kept)` made for equal bytes last time, or a new one kept for next time.
  // `kept` is an array of the bytes: `key` when given (keeping it costs no copy), otherwise a
  // copy.
  template <typename Make>
  Text get(QByteArrayView bytes, Make&& make, const QByteArray* key = nullptr) {
    if (bytes.size() > kLongest) return make(key ? *key : bytes.toByteArray());
    Slot& slot = slots_[hash(bytes) % kSlots];
    if (slot.used && QByteArrayView(slot.key) == bytes) return slot.text;
    slot.key = key ? *key : bytes.toByteArray();
    slot.text = make(slot.key);
    slot.used = true;
    return slot.text;
  }

 private:
  static constexpr std::size_t kSlots = 256;
  static constexpr qsizetype kLongest = 96;  // longer texts (cookies, long URLs) are not kept

  struct Slot {
    QByteArray key;
    Text text;
    bool used = false;
  };

  // The size and the first and last eight bytes: enough to tell apart the texts of a response.
  static std::size_t hash(QByteArrayView bytes) {
    const auto size = static_cast<std::size_t>(bytes.size());
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::memcpy(&first, bytes.data(), std::min<std::size_t>(size, 8));
    if (size > 8) {
      const std::size_t tail = std::min<std::size_t>(size - 8, 8);
      std::memcpy(&last, bytes.data() + size - tail, tail);
    }
    const std::uint64_t mixed =
        (first ^ (last * 0x9E3779B97F4A7C15ull) ^ size) * 0xFF51AFD7ED558CCDull;
    return static_cast<std::size_t>(mixed >> 40);
  }

  std::array<Slot, kSlots> slots_;
};

// `bytes` as an array: the same shared array as last time on this thread when it is still kept.
inline QByteArray recentBytes(QByteArrayView bytes) {
  thread_local RecentTexts<QByteArray> texts;
  return texts.get(bytes, [](const QByteArray& kept) { return kept; });
}

}  // namespace http::transport
