// Updates after the first: only what changed on the server or on disk is fetched again (install
// records and conditional requests), the last update can be rolled back, and what the updater
// keeps lands in the XDG folders.
#include "update_fixture.h"
#include "updater/game_folder.h"
#include "updater/log_file.h"
#include "updater/rollback.h"
#include "updater/state_paths.h"

#include <QDir>
#include <QRegularExpression>

namespace {

using namespace updatertest;

// Requests for archives in nginx's log from line `from` on, by status ("200", "304"...).
std::map<std::string, int> archiveStatuses(const AddonServer& server, size_t from) {
  std::map<std::string, int> counts;
  const auto log = server.accessLog();
  for (size_t i = from; i < log.size(); ++i) {
    if (log[i].find("/addons/") == std::string::npos) continue;
    std::istringstream fields(log[i]);
    std::string connection, index, status;
    fields >> connection >> index >> status;
    ++counts[status];
  }
  return counts;
}

class ReupdateTest : public UpdateFlowTest {
 protected:
  void SetUp() override {
    UpdateFlowTest::SetUp();
    if (IsSkipped()) return;
    for (const char* name : {"A", "B", "C", "D", "E"}) {
      server.addFile("Pack", QStringLiteral("%1.lua").arg(name), textFile(name, 50));
    }
    server.publish();
  }

  // One start of the program: an update to its end, returning its last status text.
  QString updateOnce(int* logLine = nullptr) {
    if (logLine != nullptr) *logLine = static_cast<int>(server.accessLog().size());
    Update update(server.manifestURL(), toQt(game.path()));
    const QString status = update.run();
    lastProgressLine = update.window.progressLine();
    return status;
  }

  QString file(const char* name) const { return addOns + "/Pack/" + name; }
  QString lastProgressLine;
};

TEST_F(ReupdateTest, ASecondUpdateOfAnUnchangedSetTransfersNoBodyAndLeavesEveryFileAsItWas) {
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  EXPECT_TRUE(QRegularExpression("^5/5 个文件 · [0-9]+\\.[0-9] MB · [0-9]+\\.[0-9] MB/s$")
                  .match(lastProgressLine)
                  .hasMatch())
      << lastProgressLine.toStdString();
  std::map<QString, std::pair<QByteArray, QDateTime>> before;
  for (const QString& path : filesBelow(addOns)) {
    before[path] = {contentOf(addOns + "/" + path), QFileInfo(addOns + "/" + path).lastModified()};
  }
  int from = 0;
  ASSERT_EQ(updateOnce(&from), QStringLiteral("下载完成"));
  EXPECT_EQ(archiveStatuses(server, from), (std::map<std::string, int>{{"304", 5}}));
  for (const auto& [path, state] : before) {
    EXPECT_EQ(contentOf(addOns + "/" + path), state.first) << path.toStdString();
    EXPECT_EQ(QFileInfo(addOns + "/" + path).lastModified(), state.second) << path.toStdString();
  }
  EXPECT_EQ(filesBelow(addOns).size(), before.size()) << "no archive or other file left behind";
  EXPECT_TRUE(lastProgressLine.startsWith("5/5 个文件 · 0.0 MB")) << lastProgressLine.toStdString();
}

TEST_F(ReupdateTest, FilesChangedOnDiskOrOnTheServerAreFetchedAgain) {
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  {
    QFile edited(file("A.lua"));
    ASSERT_TRUE(edited.open(QIODevice::Append));
    edited.write("-- edited by hand\n");
  }
  QFile::remove(file("B.lua"));
  // Same size and a time set back: only the CRC tells the file apart.
  QByteArray sameSize = contentOf(file("E.lua"));
  sameSize[0] = sameSize[0] == 'x' ? 'y' : 'x';
  const QDateTime mtime = QFileInfo(file("E.lua")).lastModified();
  {
    QFile rewritten(file("E.lua"));
    ASSERT_TRUE(rewritten.open(QIODevice::WriteOnly));
    rewritten.write(sameSize);
    rewritten.setFileTime(mtime, QFileDevice::FileModificationTime);
  }
  server.changeFile("Pack", "C.lua", textFile("C version 2", 80));
  int from = 0;
  ASSERT_EQ(updateOnce(&from), QStringLiteral("下载完成"));
  EXPECT_EQ(archiveStatuses(server, from), (std::map<std::string, int>{{"200", 4}, {"304", 1}}));
  expectInstalled();
}

TEST_F(ReupdateTest, RollbackRestoresExactlyWhatTheLastUpdateReplacedOrCreated) {
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  std::map<QString, QByteArray> first;
  for (const QString& path : filesBelow(addOns)) first[path] = contentOf(addOns + "/" + path);
  for (const char* name : {"A.lua", "B.lua", "C.lua"}) server.changeFile("Pack", name, textFile(QString(name) + "2", 70));
  server.addFile("Pack", "New.lua", "new = true\n");
  server.publish();
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  ASSERT_NE(contentOf(file("A.lua")), first["Pack/A.lua"]);
  ASSERT_TRUE(QFileInfo::exists(file("New.lua")));
  const int keptUpdates = static_cast<int>(updater::backupFolders(toQt(game.path())).size());
  // Nothing changed: nothing is kept for this update.
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  EXPECT_EQ(updater::backupFolders(toQt(game.path())).size(), keptUpdates);

  Update rollback(server.manifestURL(), toQt(game.path()));
  EXPECT_TRUE(rollback.window.rollbackEnabled());
  EXPECT_TRUE(rollback.controller->RestoreLastUpdate());
  EXPECT_EQ(rollback.window.statusTexts(), QStringList{"已恢复上次版本"});
  std::map<QString, QByteArray> after;
  for (const QString& path : filesBelow(addOns)) after[path] = contentOf(addOns + "/" + path);
  EXPECT_EQ(after, first);
  EXPECT_EQ(rollback.log().filter("Restored 4 files of the last update").size(), 1);
}

TEST_F(ReupdateTest, FilesThatCannotBeRestoredAreNamedAndReported) {
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  server.changeFile("Pack", "A.lua", textFile("A2", 70));
  server.addFile("Pack", "New.lua", "new = true\n");
  server.publish();
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  // Both places taken by folders that hold something: neither can be put back nor removed.
  for (const char* name : {"A.lua", "New.lua"}) {
    QFile::remove(file(name));
    testsupport::writeFile(game.path() / "Interface/AddOns/Pack" / name / "inside", "x");
  }
  Update rollback(server.manifestURL(), toQt(game.path()));
  EXPECT_FALSE(rollback.controller->RestoreLastUpdate());
  EXPECT_EQ(rollback.window.statusTexts(), QStringList{"部分文件恢复失败"});
  EXPECT_EQ(rollback.log().filter(QRegularExpression("^Not restored: Interface/AddOns/Pack/(A|New).lua : ")).size(), 2);
  EXPECT_EQ(updater::backupFolders(toQt(game.path())).size(), 2u) << "kept for another try";
}

TEST_F(ReupdateTest, StateSettingsAndLogLandInTheXdgFolders) {
  const QString state = toQt(home.path()) + "/state/AddonsUpdater";
  auto logFile = updater::LogFile::installForProgram();
  platform::log("a line for the file");
  platform::setLogSink(nullptr);
  ASSERT_EQ(updateOnce(), QStringLiteral("下载完成"));
  EXPECT_TRUE(contentOf(state + "/updater.log").contains("a line for the file"));
  EXPECT_EQ(QDir(state + "/records").entryList(QDir::Files).size(), 1);
  EXPECT_EQ(updater::backupFolders(toQt(game.path())).size(), 1u);
  EXPECT_TRUE(updater::backupFolders(toQt(game.path())).first().startsWith(state + "/backups/"));
  EXPECT_TRUE(QFileInfo::exists(toQt(home.path()) + "/config/AddonsUpdater/AddonsUpdater.ini"));
  EXPECT_EQ(updater::rememberedGameFolder(), toQt(game.path()));
  EXPECT_TRUE(filesBelow(toQt(home.path())).filter(QRegularExpression("^(?!state/|config/)")).isEmpty())
      << filesBelow(toQt(home.path())).join(", ").toStdString();
}

TEST(LogFileTest, TheLogIsRotatedPastItsLimitKeepingOneOldFile) {
  TempDir dir;
  updater::LogFile log(toQt(dir.path()), 100);
  for (int i = 0; i < 12; ++i) log.write(QStringLiteral("line %1 of the log").arg(i, 2, 10, QLatin1Char('0')));
  const QByteArray current = contentOf(log.path());
  const QByteArray old = contentOf(log.oldPath());
  EXPECT_LE(current.size(), 100);
  EXPECT_LE(old.size(), 100);
  EXPECT_TRUE(current.contains("line 11 of the log"));
  EXPECT_FALSE(old.isEmpty());
  EXPECT_EQ(QDir(toQt(dir.path())).entryList(QDir::Files).size(), 2);
}

TEST(GameFolderTest, TheSearchTakesOnlyFoldersThatHoldTheGame) {
  TempDir home;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(toQt(home.path()) + "/config"));
  const std::string wow = "drive_c/Program Files (x86)/World of Warcraft";
  // A Wine prefix with an empty game folder comes first and must be passed over.
  std::filesystem::create_directories(home.path() / ".wine" / wow / "Interface");
  const std::filesystem::path lutris = home.path() / "Games/world-of-warcraft" / wow;
  std::filesystem::create_directories(lutris / "_retail_");
  std::filesystem::create_directories(lutris / "_classic_");
  const auto found = updater::findGameInstall(toQt(home.path()));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->root, toQt(lutris));
  EXPECT_EQ(found->flavours, (QStringList{"_retail_", "_classic_"}));
  EXPECT_EQ(found->addOnsRoot(), toQt(lutris / "_retail_"));
  EXPECT_EQ(found->addOnsRoot("_classic_"), toQt(lutris / "_classic_"));

  const struct {
    const char* name;
    std::vector<std::string> contents;
    bool isGame;
  } cases[] = {{"empty", {}, false},          {"only Interface", {"Interface/"}, false},
               {"Wow.exe", {"Wow.exe"}, true}, {"WowClassic.exe", {"WowClassic.exe"}, true},
               {"_retail_", {"_retail_/"}, true}, {"a file named _retail_", {"_retail_"}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    for (const std::string& entry : c.contents) {
      if (entry.back() == '/') std::filesystem::create_directories(folder / entry);
      else testsupport::writeFile(folder / entry, "x");
    }
    EXPECT_EQ(updater::gameInstallAt(toQt(folder.path())).has_value(), c.isGame);
  }

  // The folder of the last successful update comes first, with its flavour.
  updater::rememberGameFolder(toQt(lutris / "_classic_"));
  const auto remembered = updater::findGameInstall(toQt(home.path()));
  ASSERT_TRUE(remembered.has_value());
  EXPECT_EQ(remembered->addOnsRoot(), toQt(lutris / "_classic_"));
  qunsetenv("XDG_CONFIG_HOME");
}

TEST_F(UpdateFlowTest, AFoundGameFolderIsUsedWithTheChosenFlavourWithoutAPicker) {
  server.addFile("Found", "found.lua", "x = 1\n");
  server.publish();
  const std::filesystem::path root = home.path() / ".wine/drive_c/Program Files (x86)/World of Warcraft";
  std::filesystem::create_directories(root / "_retail_");
  std::filesystem::create_directories(root / "_classic_");
  Update update(server.manifestURL(), toQt(game.path()));
  update.controller->awakeFromNib();  // again, now that HOME holds a game
  ASSERT_TRUE(update.controller->gameInstall().has_value());
  struct Title : updater::TitledControl {
    QString titleOfSelectedItem() const override { return "_classic_"; }
  } classic;
  update.controller->ClickFlavour(classic);
  EXPECT_EQ(update.run(), QStringLiteral("下载完成"));
  EXPECT_EQ(update.window.pickerShown(), 0);
  EXPECT_EQ(contentOf(toQt(root / "_classic_/Interface/AddOns/Found/found.lua")), "x = 1\n");
  EXPECT_FALSE(QFileInfo::exists(toQt(root / "_retail_/Interface")));
}

}  // namespace
