// The root of every callback recipient: answers whether it has an operation of a given name and
// performs an operation by name with typed arguments. Operations are listed per class in tables.
#pragma once

#include "platform/selector.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <memory>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

class Object;

// A dictionary of texts, such as a set of HTTP headers.
using StringMap = QMap<QString, QString>;

// One argument of a call by name: an object (a request, a queue), a dictionary, a URL, bytes,
// a signed 64-bit amount, a double, a text or a flag.
using Argument = std::variant<std::shared_ptr<Object>, StringMap, QUrl, QByteArray, qint64, double,
                              QString, bool>;
using Arguments = std::vector<Argument>;

// The operations of one class by name, with a link to its base class's table.
// Thread: any (tables are built once and never change).
class MethodTable {
 public:
  // Performs the operation on `target`; false when the arguments don't fit its parameters.
  using Method = bool (*)(Object& target, const Arguments& args, const void* member);
  struct Entry {
    Selector selector;
    Method invoke;
    std::shared_ptr<const void> member;  // the member function pointer, type-erased
  };

  MethodTable(const MethodTable* base, std::vector<Entry> entries);
  // The entry for `selector` in this table or a base table; null when there is none.
  const Entry* find(Selector selector) const;

 private:
  const MethodTable* base_;
  std::vector<Entry> entries_;
};

namespace detail {

// True for shared pointers to Object and its subclasses.
template <class T>
struct IsObjectPointer : std::false_type {};
template <class U>
struct IsObjectPointer<std::shared_ptr<U>> : std::bool_constant<std::is_base_of_v<Object, U>> {};

// Reads one argument as parameter type P; false when it does not fit.
template <class P>
bool extract(const Argument& arg, std::decay_t<P>& out) {
  using T = std::decay_t<P>;
  if constexpr (std::is_same_v<T, bool>) {
    if (auto* v = std::get_if<bool>(&arg)) return out = *v, true;
    return false;
  } else if constexpr (std::is_arithmetic_v<T>) {
    if (auto* i = std::get_if<qint64>(&arg)) return out = static_cast<T>(*i), true;
    if (auto* d = std::get_if<double>(&arg)) return out = static_cast<T>(*d), true;
    return false;
  } else if constexpr (std::is_same_v<T, std::shared_ptr<Object>>) {
    if (auto* o = std::get_if<std::shared_ptr<Object>>(&arg)) return out = *o, true;
    return false;
  } else if constexpr (IsObjectPointer<T>::value) {
    auto* o = std::get_if<std::shared_ptr<Object>>(&arg);
    if (!o) return false;
    if (!*o) return out = nullptr, true;
    out = std::dynamic_pointer_cast<typename T::element_type>(*o);
    return out != nullptr;
  } else {
    if (auto* v = std::get_if<T>(&arg)) return out = *v, true;
    return false;
  }
}

template <class C, class... P, std::size_t... I>
bool invokeMember(Object& target, const Arguments& args, void (C::*fn)(P...),
                  std::index_sequence<I...>) {
  std::tuple<std::decay_t<P>...> values;
  if (!(extract<P>(args[I], std::get<I>(values)) && ...)) return false;
  (static_cast<C&>(target).*fn)(std::get<I>(values)...);
  return true;
}

}  // namespace detail

// An entry for a member function `void C::fn(P...)` under `name`.
template <class C, class... P>
MethodTable::Entry method(Selector name, void (C::*fn)(P...)) {
  using Fn = void (C::*)(P...);
  auto member = std::make_shared<const Fn>(fn);
  MethodTable::Method invoke = [](Object& target, const Arguments& args, const void* m) -> bool {
    if (args.size() != sizeof...(P)) return false;
    return detail::invokeMember(target, args, *static_cast<const Fn*>(m),
                                std::index_sequence_for<P...>{});
  };
  return {name, invoke, member};
}

// Turns a C++ value into an argument (derived objects become Object pointers, integers qint64,
// floating values double).
template <class T>
Argument toArgument(T&& value) {
  using V = std::decay_t<T>;
  if constexpr (std::is_same_v<V, bool>) {
    return Argument(value);
  } else if constexpr (std::is_integral_v<V> || std::is_enum_v<V>) {
    return Argument(static_cast<qint64>(value));
  } else if constexpr (std::is_floating_point_v<V>) {
    return Argument(static_cast<double>(value));
  } else if constexpr (detail::IsObjectPointer<V>::value) {
    return Argument(std::static_pointer_cast<Object>(value));
  } else if constexpr (std::is_same_v<V, std::nullptr_t>) {
    return Argument(std::shared_ptr<Object>());
  } else if constexpr (std::is_convertible_v<T, QString> && !std::is_same_v<V, QByteArray>) {
    return Argument(QString(std::forward<T>(value)));
  } else {
    return Argument(std::forward<T>(value));
  }
}

// Declares the method table of a class derived from Object; define `Class::classMethods()` in
// the class's source file with its entries and its base class's table.
#define PLATFORM_OBJECT                                        \
 public:                                                       \
  static const ::platform::MethodTable& classMethods();        \
                                                               \
 protected:                                                    \
  const ::platform::MethodTable& methodTable() const override { \
    return classMethods();                                     \
  }                                                            \
                                                               \
 private:

// Root of callback recipients. A recipient "implements" an operation when its class table (or a
// base class's) lists it; forwarding classes override respondsToSelector and forwardInvocation.
// Thread: any; calls run on the calling thread.
class Object : public std::enable_shared_from_this<Object> {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  // The root table: no operations.
  static const MethodTable& classMethods();

  // True when performing `selector` would reach an operation. The null selector answers false.
  virtual bool respondsToSelector(Selector selector) const;

  // Performs the operation named `selector` with `args`. Returns false, doing nothing, when the
  // recipient has no such operation or the arguments don't fit its parameters.
  bool performSelector(Selector selector, const Arguments& args);

  template <class... A>
  bool perform(Selector selector, A&&... args) {
    return performSelector(selector, Arguments{toArgument(std::forward<A>(args))...});
  }

 protected:
  virtual const MethodTable& methodTable() const;
  // Asked when no table lists `selector`; forwarding classes pass the call on. Default: false.
  virtual bool forwardInvocation(Selector selector, const Arguments& args);
};

// Performs `selector` on a recipient held weakly: the recipient is read at call time, and one
// that is gone is not called. Returns whether the operation was performed.
template <class T, class... A>
bool perform(const std::weak_ptr<T>& recipient, Selector selector, A&&... args) {
  std::shared_ptr<T> target = recipient.lock();
  if (!target) return false;
  return static_cast<Object&>(*target).perform(selector, std::forward<A>(args)...);
}

// True when a weakly held recipient still exists and answers `selector`.
template <class T>
bool responds(const std::weak_ptr<T>& recipient, Selector selector) {
  std::shared_ptr<T> target = recipient.lock();
  return target && static_cast<const Object&>(*target).respondsToSelector(selector);
}

}  // namespace platform
