// Ordered HTTP header fields as they travel on the wire, with case-insensitive look-up.
// Names and values are raw bytes: the transport never re-encodes what it sends or receives.
#pragma once

#include <QByteArray>

#include <utility>
#include <vector>

namespace http::transport {

// One header field: name and value, both without surrounding whitespace.
using HeaderField = std::pair<QByteArray, QByteArray>;

// Header fields in the order they were added or received; the same name may appear more than
// once. Thread: any (a plain value).
class HeaderList {
 public:
  HeaderList() = default;
  HeaderList(std::initializer_list<HeaderField> fields) : fields_(fields) {}

  const std::vector<HeaderField>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  size_t size() const { return fields_.size(); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }

  // Appends a field, keeping any earlier field of the same name.
  void append(QByteArray name, QByteArray value);
  // Replaces the first field whose name matches (ASCII case-insensitive) and removes the other
  // fields of that name; appends when there is none.
  void set(const QByteArray& name, QByteArray value);
  // Appends `more` to the value of the last field (a folded continuation line). Precondition:
  // not empty.
  void extendLastValue(const QByteArray& more) { fields_.back().second += more; }
  // Removes every field of that name.
  void remove(QByteArrayView name);
  bool contains(QByteArrayView name) const;
  // Value of the first field of that name; empty when absent.
  QByteArray value(QByteArrayView name) const;
  // Every value of that name joined with ", " in order (the usual combination of repeated
  // fields); empty when absent.
  QByteArray combinedValue(QByteArrayView name) const;
  // Every value of that name, in order.
  std::vector<QByteArray> values(QByteArrayView name) const;

  bool operator==(const HeaderList&) const = default;

 private:
  std::vector<HeaderField> fields_;
};

// True when `name` is a valid field name (an RFC 9110 token: visible ASCII without separators).
bool isToken(QByteArrayView name);
// True when `value` may be sent as a field value: no CR, LF or NUL (so it cannot smuggle a
// second field or message into the head).
bool isSafeFieldValue(const QByteArray& value);
// True when the comma-separated list `value` holds `token` (ASCII case-insensitive), as in
// "Connection: keep-alive, Upgrade".
bool listContainsToken(QByteArrayView value, QByteArrayView token);

}  // namespace http::transport
