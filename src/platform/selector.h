// Callback names: interned operation names ("requestFinished:") that recipients are asked for.
// Two selectors are equal exactly when their names are equal; comparing them is a pointer compare.
#pragma once

#include <QString>

#include <cstddef>
#include <functional>
#include <string_view>

namespace platform {

// An interned operation name. The default selector is null (no name). Thread: any; interning is
// guarded and interned names live for the whole process.
class Selector {
 public:
  Selector() = default;
  explicit Selector(std::string_view name);
  explicit Selector(const QString& name);
  Selector(const char* name) : Selector(std::string_view(name ? name : "")) {}  // NOLINT: literal names

  bool isNull() const { return name_ == nullptr; }
  explicit operator bool() const { return !isNull(); }
  // The name; empty for the null selector.
  std::string_view name() const;
  QString toString() const { return QString::fromUtf8(name().data(), qsizetype(name().size())); }

  friend bool operator==(Selector a, Selector b) { return a.name_ == b.name_; }
  friend bool operator!=(Selector a, Selector b) { return a.name_ != b.name_; }
  std::size_t hash() const { return std::hash<const void*>()(name_); }

 private:
  const std::string* name_ = nullptr;
};

}  // namespace platform

template <>
struct std::hash<platform::Selector> {
  std::size_t operator()(platform::Selector s) const noexcept { return s.hash(); }
};
