// Composing the download plan: URLs, destinations, escaping, and entries that must never lead
// outside the add-on folder.
#include "updater/download_plan.h"

#include <QVariantMap>
#include <gtest/gtest.h>

namespace {

using updater::composePlan;

QVariantMap fileEntry(const QString& file) { return QVariantMap{{"file", file}}; }

QVariantMap addon(const QVariant& folder, const QVariantList& files) {
  return QVariantMap{{"folder", folder}, {"files", files}};
}

std::vector<updater::PlanItem> plan(const QVariantList& addons, QStringList* log = nullptr) {
  return composePlan(addons, "http://127.0.0.1/addons/", "/games/WoW", [log](const QString& line) {
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

TEST(DownloadPlanTest, BackslashAndSlashNameTheSameArchive) {
  const auto items = plan({addon("Foo", {fileEntry("Bar\\Baz.lua"), fileEntry("Bar/Baz.lua")})});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].escapedURL, items[1].escapedURL);
  EXPECT_EQ(items[0].destinationPath, items[1].destinationPath);
}

TEST(DownloadPlanTest, SpacesAndNonAsciiNamesArePercentEscapedAsUtf8) {
  const auto items = plan({addon("My Addon", {fileEntry("Media\\Big Texture.blp"), fileEntry("中文.lua")})});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].escapedURL, QStringLiteral("http://127.0.0.1/addons/My%20Addon/Media/Big%20Texture.blp.7z"));
  EXPECT_EQ(items[0].urlText, QStringLiteral("http://127.0.0.1/addons/My Addon/Media/Big Texture.blp.7z"));
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
