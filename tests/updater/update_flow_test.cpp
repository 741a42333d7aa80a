// Whole updates through the controller and a stand-in window against nginx on loopback: files
// installed byte-identical, archives removed, failures that keep old files, hostile lists, and
// the folder picker.
#include "updater/app_delegate.h"

#include "queue/network_queue.h"
#include "update_fixture.h"
#include "support/test_http_server.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

using namespace updatertest;

TEST_F(UpdateFlowTest, AFullUpdateInstallsEveryFileAndRemovesEveryArchive) {
  server.addFile("DBM-Core", "DBM-Core.toc", "## Interface: 100200\n## Title: DBM\nDBM-Core.lua\n");
  server.addFile("DBM-Core", "DBM-Core.lua", textFile("dbm", 3000), true);
  server.addFile("DBM-Core", "Libs\\LibStub\\LibStub.lua", textFile("stub", 40));
  server.addFile("WeakAuras", "Media\\Textures\\Square White.tga", binaryFile(300000));
  server.addFile("WeakAuras", "WeakAuras.xml", "<Ui><Script file=\"WeakAuras.lua\"/></Ui>\n", true);
  server.addFile("Details", "empty.lua", "");
  server.publish();
  Update update(server.manifestURL(), toQt(game.path()));
  update.window.chooseQueueNumber(*update.controller, "3");
  EXPECT_EQ(update.run(), QStringLiteral("下载完成"));
  expectInstalled();
  EXPECT_EQ(filesBelow(addOns).size(), server.expected().size());
  const QStringList texts = update.window.statusTexts();
  ASSERT_GE(texts.size(), 4);
  EXPECT_EQ(texts[0], QStringLiteral("查询更新服务器"));
  EXPECT_EQ(texts[1], QStringLiteral("构建目录"));
  EXPECT_TRUE(texts.contains(QStringLiteral("正在下载Square%20White.tga"))) << texts.join(" | ").toStdString();
  EXPECT_FALSE(update.window.buttonEnabled()) << "one update per run";
  EXPECT_DOUBLE_EQ(update.window.progressValue(), 1.0);
  EXPECT_EQ(update.controller->queueNumber(), 3);
  const auto& queue = update.controller->networkQueue();
  EXPECT_EQ(queue->maxConcurrentOperationCount(), 3);
  EXPECT_FALSE(queue->shouldCancelAllRequestsOnFailure());
  EXPECT_FALSE(queue->showAccurateProgress());
  EXPECT_EQ(queue->queueDidFinishSelector(), platform::Selector("downloadAllPluginFinish:"));
  EXPECT_EQ(queue->delegate().lock(), update.controller);
  EXPECT_EQ(queue->downloadProgressDelegate().lock(), nullptr) << "the bar counts installed files, not transfers";
  EXPECT_TRUE(update.log().contains(QStringLiteral("saveString-------") + addOns + "/WeakAuras/Media/Textures/"));
}

TEST_F(UpdateFlowTest, AnArchiveAlreadyAtItsDestinationIsReplacedByTheNewDownload) {
  server.addFile("Bagnon", "Bagnon.lua", textFile("bag", 200));
  server.publish();
  testsupport::writeFile(game.path() / "Interface/AddOns/Bagnon/Bagnon.lua.7z", "stale archive from an earlier run");
  testsupport::writeFile(game.path() / "Interface/AddOns/Bagnon/Bagnon.lua", "old version");
  Update update(server.manifestURL(), toQt(game.path()));
  EXPECT_EQ(update.run(), QStringLiteral("下载完成"));
  expectInstalled();
}

// Archives served by a scripted server (the manifests stay on nginx), so that one transfer can
// break off in the middle of its body.
TEST_F(UpdateFlowTest, EveryKindOfFailureIsCountedInTheStatusAndNamedInTheLog) {
  server.addFile("Good", "good.lua", textFile("good", 100));
  server.addMissing("Gone", "gone.lua");
  server.addRawArchive("Broken", "broken.lua", QByteArray("7z\xBC\xAF\x27\x1C", 6) + binaryFile(500));
  server.addFile("Cut", "cut.lua", binaryFile(200000));
  server.addFile("Later", "later.lua", textFile("later", 100));
  testsupport::TestHttpServer archives;
  archives.setHandler([&](const testsupport::RecordedRequest& request) -> std::optional<testsupport::HttpResponse> {
    const QStringList parts = QString::fromUtf8(request.path()).split('/');  // "", "addons", folder, file
    const QByteArray bytes = server.archiveBytes(parts.value(2), parts.value(3).chopped(3));
    if (bytes.isEmpty()) return testsupport::HttpResponse::withStatus(404, "Not Found", "<html>404</html>");
    testsupport::HttpResponse response = testsupport::HttpResponse::ok(bytes);
    if (parts.value(2) == "Cut") response.cutAfter(bytes.size() / 2);
    return response;
  });
  server.publish(archives.url(QStringLiteral("/addons/")).toString());
  for (const char* name : {"Gone/gone.lua", "Broken/broken.lua", "Cut/cut.lua"}) {
    testsupport::writeFile(game.path() / "Interface/AddOns" / name, std::string("installed ") + name);
  }
  Update update(server.manifestURL(), toQt(game.path()));
  EXPECT_EQ(update.run(), QStringLiteral("下载完成，3 个文件失败"));
  EXPECT_EQ(contentOf(addOns + "/Good/good.lua"), server.expected().at("Good/good.lua"));
  EXPECT_EQ(contentOf(addOns + "/Later/later.lua"), server.expected().at("Later/later.lua"));
  for (const char* name : {"Gone/gone.lua", "Broken/broken.lua", "Cut/cut.lua"}) {
    EXPECT_EQ(contentOf(addOns + "/" + name), QByteArray("installed ") + name) << name;
  }
  for (const QString& file : filesBelow(addOns)) EXPECT_FALSE(file.endsWith(".7z")) << file.toStdString();
  EXPECT_DOUBLE_EQ(update.window.progressValue(), 0.4) << "2 of 5 files installed";
  EXPECT_EQ(update.controller->failedFiles(), 3);

  const QStringList log = update.log();
  const QString gone = "Not installed: " + addOns + "/Gone/gone.lua: download of " +
                       archives.url("/addons/Gone/gone.lua.7z").toString() + " failed: HTTP status 404 Not Found";
  EXPECT_TRUE(log.contains(gone)) << log.join("\n").toStdString();
  EXPECT_EQ(log.filter(QRegularExpression("^Not installed: " + QRegularExpression::escape(addOns) +
                                          "/Broken/broken.lua: extraction of entry \"broken.lua\" .* failed"))
                .size(), 1);
  EXPECT_EQ(log.filter(QRegularExpression("^Not installed: " + QRegularExpression::escape(addOns) +
                                          "/Cut/cut.lua: download of .*Cut/cut.lua.7z failed: error [0-9]+: .+"))
                .size(), 1);
  EXPECT_TRUE(log.contains("myError--------" + archives.url("/addons/Cut/cut.lua.7z").toString()));
  EXPECT_EQ(log.filter("Update ended: 2 of 5 files installed, 3 failed").size(), 1);
}

TEST_F(UpdateFlowTest, AFileListedTwiceIsDownloadedOnce) {
  server.addFile("Twice", "twice.lua", "x = 2\n");
  server.addFile("Twice", "twice.lua", "x = 2\n");
  server.publish();
  Update update(server.manifestURL(), toQt(game.path()));
  EXPECT_EQ(update.run(), QStringLiteral("下载完成"));
  expectInstalled();
  int fetched = 0;
  for (const std::string& line : server.accessLog()) fetched += line.find("/addons/Twice/twice.lua.7z") != std::string::npos;
  EXPECT_EQ(fetched, 1);
}

TEST_F(UpdateFlowTest, TheConcurrencyChoiceFallsBackToFourForNoPositiveNumber) {
  const struct {
    const char* title;
    qint64 expected;
  } cases[] = {{"3", 3}, {"0", 4}, {"-2", 4}, {"many", 4}, {"", 4}, {" 8 ", 8}};
  Update update(server.manifestURL(), toQt(game.path()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    update.window.chooseQueueNumber(*update.controller, c.title);
    EXPECT_EQ(update.controller->queueNumber(), c.expected);
  }
}

TEST_F(UpdateFlowTest, TheWaitTimerTicksEveryHalfSecondUntilItEndsTheUpdate) {
  Update update(server.manifestURL(), toQt(game.path()));
  update.controller->downloadAllPluginFinish(nullptr);
  const auto first = update.controller->timer();
  ASSERT_NE(first, nullptr);
  EXPECT_DOUBLE_EQ(first->interval(), 0.5);
  EXPECT_TRUE(first->repeats());
  update.controller->downloadAllPluginFinish(nullptr);
  EXPECT_FALSE(first->isValid()) << "a second call replaces the running timer";
  ASSERT_NE(update.controller->timer(), first);
  testsupport::waitUntil([&] { return update.ended(); }, std::chrono::seconds(10));
  EXPECT_EQ(update.window.statusTexts(), QStringList{"下载完成"});
  EXPECT_EQ(update.controller->timer(), nullptr);
}

TEST_F(UpdateFlowTest, HostileListEntriesNeverReachOutsideTheAddOnFolder) {
  server.addFile("Safe", "safe.lua", "print('ok')\n");
  server.addRawEntry(QVariantMap{{"folder", "Safe"}, {"files", QVariantList{QVariantMap{{"file", "..\\..\\..\\evil.lua"}}}}});
  server.addRawEntry(QVariantMap{{"folder", "../../outside"}, {"files", QVariantList{QVariantMap{{"file", "x.lua"}}}}});
  server.addRawEntry(QVariantMap{{"folder", "Safe"}, {"files", QVariantList{QVariantMap{{"file", "/tmp/evil.lua"}}}}});
  server.addRawEntry(QVariantMap{{"folder", 42}, {"files", QVariantList{QVariantMap{{"file", "x.lua"}}}}});
  server.addRawEntry(QStringLiteral("not an object"));
  server.publish();
  Update update(server.manifestURL(), toQt(game.path()));
  EXPECT_EQ(update.run(), QStringLiteral("下载完成"));
  EXPECT_EQ(filesBelow(toQt(game.path())), QStringList{"Interface/AddOns/Safe/safe.lua"});
  EXPECT_GE(update.log().filter(QStringLiteral("Skipping")).size(), 4);
}

TEST_F(UpdateFlowTest, AListWithNothingToDownloadEndsAtOnce) {
  server.publish();
  Update update(server.manifestURL(), toQt(game.path()));
  EXPECT_EQ(update.run(), QStringLiteral("下载完成"));
  EXPECT_EQ(update.window.statusTexts(),
            (QStringList{"查询更新服务器", "构建目录", "下载完成"}));
}

TEST_F(UpdateFlowTest, AnUnreadableServerIsReportedAndTheButtonWorksAgain) {
  struct Case {
    const char* name;
    QString manifestURL;
  };
  server.writeDocument("/wowplugin/zero.json", R"({"plughttpaddr":"http://127.0.0.1:9/","plugjsonaddr":"file:///dev/zero"})");
  server.writeDocument("/wowplugin/array.json", R"([{"plughttpaddr":"x"}])");
  const Case cases[] = {
      {"unreachable", QStringLiteral("http://127.0.0.1:9/wowplugin/AddonsUpdater.json")},
      {"no manifest", server.manifestURL() + QStringLiteral(".missing")},
      {"a list that is a local device", server.url("/wowplugin/zero.json")},
      {"a manifest that is no object", server.url("/wowplugin/array.json")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Update update(c.manifestURL, toQt(game.path()));
    EXPECT_EQ(update.run(), QStringLiteral("更新服务器连接失败"));
    EXPECT_TRUE(update.window.buttonEnabled());
  }
}

TEST_F(UpdateFlowTest, AMissingGameFolderAsksForOneAndACancelledPickerChangesNothing) {
  server.addFile("Picked", "picked.lua", "x = 1\n");
  server.publish();
  const QString missing = toQt(game.path()) + QStringLiteral("/no such folder");
  {
    Update update(server.manifestURL(), missing);
    update.window.pressUpdate(*update.controller);
    EXPECT_EQ(update.window.pickerShown(), 1);
    EXPECT_TRUE(update.window.buttonEnabled());
    EXPECT_TRUE(update.window.statusTexts().isEmpty());
    testsupport::serveFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(server.accessLog().empty());
  }
  Update update(server.manifestURL(), missing);
  update.window.setPickedFolder(toQt(game.path()));
  EXPECT_EQ(update.run(), QStringLiteral("下载完成"));
  EXPECT_EQ(update.window.pickerShown(), 1);
  EXPECT_EQ(update.controller->pluginSaveAdressHead(), toQt(game.path()));
  expectInstalled();
}

}  // namespace
