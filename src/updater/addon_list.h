// The add-on list: the entries of the "Crc32" array of the add-on list document, kept as the
// document's own text and turned into JSON values one entry at a time. A list of a million
// entries then costs its text and a few bytes per entry, not a tree of every value at once.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace updater {

class AddOnList {
 public:
  AddOnList() = default;
  // The list of `document`, which must be one JSON object (checked whole, as a JSON parser
  // would); its "Crc32" member (the last one, when named twice) gives the entries, none when it
  // is missing or not an array. Nothing, with the reason in `whyNot`, for anything else.
  static std::optional<AddOnList> fromDocument(QByteArray document, QString* whyNot = nullptr);
  // The entries of `entries` (for lists made in memory).
  static AddOnList fromArray(const QJsonArray& entries);

  qsizetype size() const { return static_cast<qsizetype>(spans_.size()); }
  bool isEmpty() const { return spans_.empty(); }
  // Calls `visit` with each entry, in list order.
  void forEach(const std::function<void(const QJsonValue&)>& visit) const;

 private:
  QByteArray text_;                                    // the document, or "[e1,e2,...]"
  std::vector<std::pair<qsizetype, qsizetype>> spans_;  // each entry's text: offset, length
};

}  // namespace updater
