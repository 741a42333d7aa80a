// Shared by the whole-update tests: a controller with a stand-in window against the test update
// server, content makers, and a fixture that gives each test its own HOME and XDG folders.
#pragma once

#include "updater/app_delegate.h"

#include "addon_server.h"
#include "platform/log.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "updater/headless_window.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <mutex>

namespace updatertest {

using testsupport::AddonServer;
using testsupport::TempDir;
using updater::AppDelegate;
using updater::HeadlessWindow;

inline QString toQt(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

inline QByteArray textFile(const QString& seed, int lines) {
  QByteArray out;
  for (int i = 0; i < lines; ++i) {
    out += "local " + seed.toUtf8() + QByteArray::number(i) + " = function(frame) return frame:GetWidth() * " +
           QByteArray::number(i % 17) + " end\n";
  }
  return out;
}

inline QByteArray binaryFile(int size) {
  QByteArray out(size, Qt::Uninitialized);
  quint32 state = 12345;
  for (int i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    out[i] = static_cast<char>((state >> 16) & 0xff);
  }
  return out;
}

// Every file below `folder`, relative to it.
inline QStringList filesBelow(const QString& folder) {
  QStringList found;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) found << it.next().mid(folder.size() + 1);
  found.sort();
  return found;
}

inline QByteArray contentOf(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One update: a controller, a stand-in window and the log lines it wrote.
class Update {
 public:
  Update(const QString& manifestURL, const QString& gameFolder)
      : controller(std::make_shared<AppDelegate>(manifestURL)) {
    platform::setLogSink([this](const QString& line) {
      std::lock_guard lock(mutex_);
      log_ << line;
    });
    window.connect(*controller);
    controller->awakeFromNib();
    controller->setPluginSaveAdressHead(gameFolder);
  }
  ~Update() { platform::setLogSink(nullptr); }

  // Presses the button and waits for the end: done, failed, or a time limit.
  QString run() {
    window.pressUpdate(*controller);
    testsupport::waitUntil([this] { return ended(); }, std::chrono::seconds(60));
    return window.statusTexts().isEmpty() ? QString() : window.statusTexts().back();
  }
  bool ended() const {
    const QString last = window.statusTexts().isEmpty() ? QString() : window.statusTexts().back();
    return last.startsWith(QStringLiteral("下载完成")) || last == QStringLiteral("更新服务器连接失败");
  }
  QStringList log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

  std::shared_ptr<AppDelegate> controller;
  HeadlessWindow window;

 private:
  std::mutex mutex_;
  QStringList log_;
};

// A whole update against nginx, with HOME and the XDG folders of the test's own.
class UpdateFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("HOME", QFile::encodeName(toQt(home.path())));
    qputenv("XDG_STATE_HOME", QFile::encodeName(toQt(home.path()) + "/state"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(toQt(home.path()) + "/config"));
    if (!testsupport::NginxServer::isInstalled()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(server.isRunning()) << server.errorText().toStdString();
    addOns = toQt(game.path()) + QStringLiteral("/Interface/AddOns");
  }

  void expectInstalled() {
    for (const auto& [path, content] : server.expected()) {
      EXPECT_EQ(contentOf(addOns + QLatin1Char('/') + path), content) << path.toStdString();
    }
    for (const QString& file : filesBelow(addOns)) EXPECT_FALSE(file.endsWith(".7z")) << file.toStdString();
  }

  TempDir home;
  AddonServer server;
  TempDir game;
  QString addOns;
};

}  // namespace updatertest
