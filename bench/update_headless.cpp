// Development driver: runs a whole update through the updater controller with a stand-in window
// and prints every status text, one per line; or restores the last update of a game folder.
//   update_headless MANIFEST_URL GAME_DIR [CONCURRENCY]
//   update_headless --rollback GAME_DIR
// Exit status 0 once every file is installed (or restored), 1 when the update server could not be
// read or any file failed, 2 on wrong usage.
#include "updater/headless_run.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("AddonsUpdater"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
  updater::HeadlessOptions options;
  if (argc == 3 && std::strcmp(argv[1], "--rollback") == 0) {
    options.rollback = true;
    options.gameFolder = QString::fromLocal8Bit(argv[2]);
  } else if (argc == 3 || argc == 4) {
    options.manifestURL = QString::fromLocal8Bit(argv[1]);
    options.gameFolder = QString::fromLocal8Bit(argv[2]);
    if (argc == 4) options.concurrency = QString::fromLocal8Bit(argv[3]);
  } else {
    std::fprintf(stderr, "usage: %s MANIFEST_URL GAME_DIR [CONCURRENCY]\n       %s --rollback GAME_DIR\n", argv[0],
                 argv[0]);
    return 2;
  }
  return updater::runHeadless(options);
}
