// The add-on list read from its document's text: the same entries and the same verdicts as a
// JSON parser building the whole document.
#include "updater/addon_list.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

using updater::AddOnList;

// The entries as a JSON array again, to compare with what a full parse gives.
QByteArray entriesOf(const AddOnList& list) {
  QJsonArray entries;
  list.forEach([&entries](const QJsonValue& entry) { entries.append(entry); });
  return QJsonDocument(entries).toJson(QJsonDocument::Compact);
}

TEST(AddOnListTest, EntriesAreThoseOfTheLastCrc32ArrayWhateverElseTheDocumentHolds) {
  struct Case {
    const char* name;
    QByteArray document;
    QByteArray entries;
  };
  const Case cases[] = {
      {"plain", R"({"Crc32":[{"folder":"A","files":[{"file":"a.lua"}]}]})",
       R"([{"files":[{"file":"a.lua"}],"folder":"A"}])"},
      {"other members and values", " {\"v\":[1,-2.5e3,true,null,{\"x\":\"\\u00e9\"}],\"Crc32\":[1,\"s\",[],{}] ,\"z\":false}\n",
       R"([1,"s",[],{}])"},
      {"named twice: the last", R"({"Crc32":[1],"Crc32":[2,3]})", "[2,3]"},
      {"escaped name", R"({"Crc\u0033\u0032":[7]})", "[7]"},
      {"any escaped character stands for itself", R"({"Crc32":["a\xb"]})", R"(["axb"])"},
      {"not an array", R"({"Crc32":{"folder":"A"}})", "[]"},
      {"missing", R"({"crc32":[1]})", "[]"},
      {"nested names do not count", R"({"a":{"Crc32":[1]}})", "[]"},
      {"non-ASCII text", "{\"Crc32\":[\"\xe4\xb8\xad\xf0\x9f\x98\x80\"]}", "[\"\xe4\xb8\xad\xf0\x9f\x98\x80\"]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QString why;
    const std::optional<AddOnList> list = AddOnList::fromDocument(c.document, &why);
    ASSERT_TRUE(list.has_value()) << why.toStdString();
    EXPECT_EQ(entriesOf(*list), c.entries);
    // The same as a parser building the whole document finds.
    const QJsonValue parsed = QJsonDocument::fromJson(c.document).object().value(QLatin1String("Crc32"));
    EXPECT_EQ(entriesOf(*list), QJsonDocument(parsed.toArray()).toJson(QJsonDocument::Compact));
  }
}

TEST(AddOnListTest, DocumentsThatAreNotOneJSONObjectAreRefusedWithTheReason) {
  const std::pair<QByteArray, const char*> cases[] = {
      {"[1,2]", "not an object"},
      {"\"text\"", "not an object"},
      {"", "not JSON"},
      {"{\"Crc32\":[1,]}", "not JSON"},
      {"{\"Crc32\":[1]} trailing", "not JSON"},
      {"{\"Crc32\":[01]}", "not JSON"},
      {"{\"Crc32\":[\"\xff\"]}", "not JSON"},
      {"{\"Crc32\":[\"\xed\xa0\x80\"]}", "not JSON"},  // an encoded surrogate
      {"{\"Crc32\":[\"\\u12\"]}", "not JSON"},
      {"{\"Crc32\":[tru]}", "not JSON"},
      {"{\"Crc32\":[\"open", "not JSON"},
      {"{\"a\" 1}", "not JSON"},
      {QByteArray(2000, '[') + QByteArray(2000, ']'), "not JSON"},
      {"{\"Crc32\":" + QByteArray(2000, '[') + QByteArray(2000, ']') + "}", "not JSON"},
  };
  for (const auto& [document, reason] : cases) {
    SCOPED_TRACE(document.left(40).toStdString());
    QString why;
    EXPECT_FALSE(AddOnList::fromDocument(document, &why).has_value());
    EXPECT_TRUE(why.startsWith(QLatin1String(reason))) << why.toStdString();
    // A parser building the whole document does not take it as an object either.
    EXPECT_FALSE(QJsonDocument::fromJson(document).isObject());
  }
}

}  // namespace
