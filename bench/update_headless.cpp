// Development driver: runs a whole update through the updater controller with a stand-in window
// and prints every status text, one per line. Exit status 0 once every file is installed, 1 when
// the update server could not be read or any file failed.
//   update_headless MANIFEST_URL GAME_DIR [CONCURRENCY]
#include "updater/app_delegate.h"
#include "updater/headless_window.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("AddonsUpdater"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s MANIFEST_URL GAME_DIR [CONCURRENCY]\n", argv[0]);
    return 2;
  }
  const QString manifest = QString::fromLocal8Bit(argv[1]);
  const QString gameFolder = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
  const QString concurrency = argc == 4 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("4");
  QDir().mkpath(gameFolder);

  auto controller = std::make_shared<updater::AppDelegate>(manifest);
  updater::HeadlessWindow window;
  window.connect(*controller);
  controller->awakeFromNib();
  controller->setPluginSaveAdressHead(gameFolder);
  window.chooseQueueNumber(*controller, concurrency);
  window.setStatusListener([](const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
    if (text == updater::kStatusDone) {
      QCoreApplication::exit(0);
    } else if (text.startsWith(updater::kStatusDone) || text == updater::kStatusServerFailed) {
      QCoreApplication::exit(1);  // some files failed, or no update at all
    }
  });
  QTimer::singleShot(0, [&] { window.pressUpdate(*controller); });
  return app.exec();
}
