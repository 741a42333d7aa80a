// Composing the download plan: URLs, destinations, escaping, and entries that must never lead
// outside the add-on folder.
#include "updater/download_plan.h"

#include "updater/json_dictionary.h"

#include <QJsonDocument>
#include <QVariantMap>
#include <gtest/gtest.h>

namespace {

using updater::composePlan;

QVariantMap fileEntry(const QString& file) { return QVariantMap{{"file", file}}; }

QVariantMap addon(const QVariant& folder, const QVariantList& files) {
  return QVariantMap{{"folder", folder}, {"files", files}};
}

std::vector<updater::PlanItem> plan(const QVariantList& addons, QStringList* log = nullptr) {
  return composePlan(updater::AddOnList::fromArray(QJsonArray::fromVariantList(addons)), "http://127.0.0.1/addons/",
                     "/games/WoW", [log](const QString& line) {
    if (log) *log << line;
  });
}

TEST(DownloadPlanTest, EachFileGivesAUrlAndADestinationInListOrder) {
  QStringList log;
  const auto items = plan({addon("Foo", {fileEntry("Bar\\Baz.lua"), fileEntry("Foo.toc")}),
                           addon("Empty", {}), QVariantMap{{"folder", "NoFiles"}},
                           addon("Other", {fileEntry("a/b/c.xml")})},
                          &log);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].escapedURL, QStringLiteral("http://127.0.0.1/addons/Foo/Bar/Baz.lua.7z"));
  EXPECT_EQ(items[0].destinationPath, QStringLiteral("/games/WoW/Interface/AddOns/Foo/Bar/Baz.lua.7z"));
  EXPECT_EQ(items[1].destinationPath, QStringLiteral("/games/WoW/Interface/AddOns/Foo/Foo.toc.7z"));
  EXPECT_EQ(items[2].escapedURL, QStringLiteral("http://127.0.0.1/addons/Other/a/b/c.xml.7z"));
  EXPECT_TRUE(log.contains(QStringLiteral("RequestURL--------http://127.0.0.1/addons/Foo/Bar/Baz.lua.7z")));
}

TEST(DownloadPlanTest, AFileListedTwiceIsPlannedOnce) {
  QStringList log;
  const auto items = plan({addon("Foo", {fileEntry("Bar\\Baz.lua"), fileEntry("x.lua")}),
                           addon("Foo", {fileEntry("Bar/Baz.lua")})},
                          &log);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].escapedURL, QStringLiteral("http://127.0.0.1/addons/Foo/Bar/Baz.lua.7z"));
  EXPECT_EQ(items[1].fileName, QStringLiteral("x.lua"));
  EXPECT_EQ(log.filter(QStringLiteral("Skipping file \"Bar/Baz.lua\" of Foo: listed twice")).size(), 1);
}

TEST(DownloadPlanTest, NamesLongerThanTheFileSystemAllowsAreSkipped) {
  QStringList log;
  const QString longest = QString(251, QLatin1Char('a'));  // 251 + ".7z" = 254 bytes
  const QString wide = QString(85, QChar(0x4E2D));         // 85 three-byte characters + ".7z" = 258
  const auto items = plan({addon("Foo", {fileEntry(longest + "a"), fileEntry(longest + "ab"), fileEntry(wide),
                                         fileEntry(QString(300, QLatin1Char('d')) + "/x.lua")}),
                           addon(QString(256, QLatin1Char('f')), {fileEntry("x.lua")})},
                          &log);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].fileName, longest + "a");
  EXPECT_EQ(log.filter(QStringLiteral("longer than the file system allows")).size(), 4) << log.join("\n").toStdString();
}

TEST(DownloadPlanTest, LogLinesShowControlCharactersEscaped) {
  QStringList log;
  plan({addon("Foo", {fileEntry(QStringLiteral("x\n2026-01-01 forged line\r\x1b[31m.lua"))}),
        addon(QStringLiteral("A\nB"), {fileEntry("x.lua")})},
       &log);
  ASSERT_EQ(log.size(), 2);
  for (const QString& line : log) {
    EXPECT_FALSE(line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r')) ||
                 line.contains(QChar(0x1b)))
        << line.toStdString();
  }
  EXPECT_EQ(log[0], QStringLiteral("Skipping file \"x\\n2026-01-01 forged line\\r\\x{1b}[31m.lua\" of Foo: not a plain "
                                   "relative path"));
  EXPECT_EQ(updater::escapeForLog(QStringLiteral("a\\n\tb")), QStringLiteral("a\\\\n\\tb"));
}

TEST(DownloadPlanTest, AListOfManyEntriesIsPlannedInOnePass) {
  QByteArray json = "{\"Crc32\":[";
  constexpr int kEntries = 200000;
  json.reserve(kEntries * 48);
  for (int i = 0; i < kEntries; ++i) {
    if (i > 0) json += ',';
    json += "{\"folder\":\"F" + QByteArray::number(i) + "\",\"files\":[{\"file\":\"a.lua\"}]}";
  }
  json += "]}";
  ASSERT_LE(json.size(), updater::kMaxDocumentBytes);
  const std::optional<updater::AddOnList> list = updater::AddOnList::fromDocument(json);
  ASSERT_TRUE(list.has_value());
  const auto items = composePlan(*list, "http://h/", "/g", [](const QString&) {});
  ASSERT_EQ(items.size(), static_cast<size_t>(kEntries));
  EXPECT_EQ(items.back().destinationPath, QStringLiteral("/g/Interface/AddOns/F199999/a.lua.7z"));
}

TEST(DownloadPlanTest, SpacesAndNonAsciiNamesArePercentEscapedAsUtf8) {
  QStringList log;
  const auto items = plan({addon("My Addon", {fileEntry("Media\\Big Texture.blp"), fileEntry("中文.lua")})}, &log);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].escapedURL, QStringLiteral("http://127.0.0.1/addons/My%20Addon/Media/Big%20Texture.blp.7z"));
  // The log shows the URL before escaping.
  EXPECT_TRUE(log.contains(QStringLiteral("RequestURL--------http://127.0.0.1/addons/My Addon/Media/Big Texture.blp.7z")));
  EXPECT_EQ(items[0].destinationPath, QStringLiteral("/games/WoW/Interface/AddOns/My Addon/Media/Big Texture.blp.7z"));
  EXPECT_EQ(items[1].escapedURL, QStringLiteral("http://127.0.0.1/addons/My%20Addon/%E4%B8%AD%E6%96%87.lua.7z"));
  EXPECT_EQ(updater::percentEscape("a?b#c%d", true), QStringLiteral("a%3Fb%23c%25d"));
}

TEST(DownloadPlanTest, HostileEntriesAreSkippedWithALogLine) {
  QStringList log;
  const auto items = plan({addon("Good", {fileEntry("ok.lua"), fileEntry("../../../etc/passwd"),
                                          fileEntry("/etc/passwd"), fileEntry("a//b.lua"),
                                          fileEntry("a\\..\\..\\b.lua"), fileEntry(QStringLiteral("bad\nname.lua")),
                                          fileEntry("./x.lua"), QVariantMap{{"file", 7}}, QVariant("text")}),
                           addon("..", {fileEntry("x.lua")}), addon("/abs", {fileEntry("x.lua")}),
                           addon("A/../..", {fileEntry("x.lua")}), addon(5, {fileEntry("x.lua")}),
                           QVariant("not an entry")},
                          &log);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].fileName, QStringLiteral("ok.lua"));
  EXPECT_GE(log.filter(QStringLiteral("Skipping")).size(), 13);
}

TEST(DownloadPlanTest, PathPieces) {
  EXPECT_EQ(updater::lastPathComponent("/a/b/c.lua.7z"), QStringLiteral("c.lua.7z"));
  EXPECT_EQ(updater::directoryOf("/a/c.lua.7z/c.lua.7z"), QStringLiteral("/a/c.lua.7z/"));
  EXPECT_EQ(updater::withoutArchiveSuffix("x.7z.txt.7z"), QStringLiteral("x.7z.txt"));
  EXPECT_EQ(updater::withoutArchiveSuffix("plain"), QStringLiteral("plain"));
}

}  // namespace
