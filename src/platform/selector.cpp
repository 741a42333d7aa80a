// Interning of callback names.
#include "platform/selector.h"

#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>

namespace platform {
namespace {

// Looks names up as they are given, so that a known name costs no string copy.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
};

// Interned names never move: unordered_set nodes are stable.
const std::string* intern(std::string_view name) {
  static std::mutex mutex;
  static std::unordered_set<std::string, NameHash, std::equal_to<>> names;
  std::lock_guard lock(mutex);
  if (auto known = names.find(name); known != names.end()) return &*known;
  return &*names.emplace(name).first;
}

}  // namespace

Selector::Selector(std::string_view name) : name_(name.empty() ? nullptr : intern(name)) {}

Selector::Selector(const QString& name) : Selector(std::string_view(name.toStdString())) {}

std::string_view Selector::name() const { return name_ ? std::string_view(*name_) : std::string_view(); }

}  // namespace platform
