// Interning of callback names.
#include "platform/selector.h"

#include <mutex>
#include <string>
#include <unordered_set>

namespace platform {
namespace {

// Interned names never move: unordered_set nodes are stable.
const std::string* intern(std::string_view name) {
  static std::mutex mutex;
  static std::unordered_set<std::string> names;
  std::lock_guard lock(mutex);
  return &*names.emplace(name).first;
}

}  // namespace

Selector::Selector(std::string_view name) : name_(name.empty() ? nullptr : intern(name)) {}

Selector::Selector(const QString& name) : Selector(std::string_view(name.toStdString())) {}

std::string_view Selector::name() const { return name_ ? std::string_view(*name_) : std::string_view(); }

}  // namespace platform
