// Reading headers files one after another: texts repeated at the same places are shared, and a
// text that differs in any way from the one read there before is read anew; pairs keep their
// file order.
#include "cache/property_list.h"

#include <gtest/gtest.h>

namespace cache {
namespace {

QByteArray plist(const QByteArray& pairs) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n\t<dict>\n" + pairs +
         "\t</dict>\n</plist>\n";
}

QByteArray pair(const QByteArray& key, const QByteArray& value) {
  return "\t\t<key>" + key + "</key>\n\t\t<string>" + value + "</string>\n";
}

TEST(PropertyListReadingTest, EachDocumentReadsAsWrittenWhateverCameBefore) {
  struct Case {
    const char* name;
    QByteArray xml;
    QVariantMap expected;
  };
  const QString replacement(QChar(0xFFFD));
  // Read in this order, on one thread: each is compared with what the one before left behind.
  const std::vector<Case> cases = {
      {"first", plist(pair("Server", "nginx") + pair("Range", "bytes")),
       {{"Server", "nginx"}, {"Range", "bytes"}}},
      {"same texts", plist(pair("Server", "nginx") + pair("Range", "bytes")),
       {{"Server", "nginx"}, {"Range", "bytes"}}},
      {"one letter differs", plist(pair("Server", "nginy") + pair("Range", "bytes")),
       {{"Server", "nginy"}, {"Range", "bytes"}}},
      {"longer and shorter", plist(pair("Server", "nginyy") + pair("Range", "byte")),
       {{"Server", "nginyy"}, {"Range", "byte"}}},
      {"places swapped", plist(pair("Range", "byte") + pair("Server", "nginyy")),
       {{"Server", "nginyy"}, {"Range", "byte"}}},
      {"UTF-8 text", plist(pair("Server", "caf\xc3\xa9")), {{"Server", QString::fromUtf8("caf\xc3\xa9")}}},
      {"a Latin-1 byte where UTF-8 was", plist(pair("Server", "caf\xe9")),
       {{"Server", QStringLiteral("caf") + replacement}}},
      {"entities", plist(pair("Etag", "&quot;a&lt;b&quot;")), {{"Etag", "\"a<b\""}}},
      {"empty text", plist(pair("Etag", "")), {{"Etag", ""}}},
      {"more pairs than before",
       plist(pair("a", "1") + pair("b", "2") + pair("c", "3") + pair("d", "4")),
       {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(readPropertyList(c.xml), c.expected);
  }
}

TEST(PropertyListReadingTest, PairsKeepTheirOrderAndARepeatedKeyItsLastValue) {
  const QByteArray xml = plist(pair("b", "1") + pair("a", "2") + pair("b", "3"));
  const std::optional<PropertyListEntries> entries = readPropertyListEntries(xml);
  ASSERT_TRUE(entries);
  const PropertyListEntries expected = {{"b", "1"}, {"a", "2"}, {"b", "3"}};
  EXPECT_EQ(*entries, expected);
  EXPECT_EQ(readPropertyList(xml), (QVariantMap{{"a", "2"}, {"b", "3"}}));
  // The full XML reader, used for what the quick one leaves, gives the same pairs.
  const QByteArray commented = plist("<!-- note -->" + pair("b", "1") + pair("a", "2") + pair("b", "3"));
  EXPECT_EQ(readPropertyListEntries(commented), expected);
}

}  // namespace
}  // namespace cache
