// The program's entry point: the application loop with the one window over the controller, or
//   addon_updater --headless GAME_DIR [--concurrency N] [--rollback]
// the same update (or rollback) without a window, its status texts and progress on standard error.
#include "main_window.h"
#include "updater/app_delegate.h"
#include "updater/headless_run.h"
#include "updater/log_file.h"
#include "updater/manifest_url.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

void nameTheProgram() {
  QCoreApplication::setApplicationName(QStringLiteral("AddonsUpdater"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
}

// The options of --headless, or nothing (with a message) when they are wrong.
std::optional<updater::HeadlessOptions> headlessOptions(int argc, char** argv) {
  updater::HeadlessOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--headless") == 0 && i + 1 < argc && options.gameFolder.isEmpty()) {
      options.gameFolder = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(arg, "--concurrency") == 0 && i + 1 < argc) {
      options.concurrency = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(arg, "--rollback") == 0) {
      options.rollback = true;
    } else {
      std::fprintf(stderr, "usage: %s [--headless GAME_DIR [--concurrency N] [--rollback]]\n", argv[0]);
      return std::nullopt;
    }
  }
  if (options.gameFolder.isEmpty()) {
    std::fprintf(stderr, "usage: %s [--headless GAME_DIR [--concurrency N] [--rollback]]\n", argv[0]);
    return std::nullopt;
  }
  return options;
}

int runHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  nameTheProgram();
  std::optional<updater::HeadlessOptions> options = headlessOptions(argc, argv);
  if (!options) return 2;
  // The log lines go to the log file only; standard error is kept for what a person reads.
  const auto logFile = updater::LogFile::installForProgram();
  const int terminal = ::dup(STDERR_FILENO);
  std::FILE* out = terminal >= 0 ? ::fdopen(terminal, "w") : stderr;
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (out != stderr && devNull >= 0) ::dup2(devNull, STDERR_FILENO);
  if (devNull >= 0) ::close(devNull);
  const bool isTerminal = ::isatty(terminal >= 0 ? terminal : STDERR_FILENO) == 1;
  const char* noColor = std::getenv("NO_COLOR");
  options->manifestURL = updater::manifestURL();
  options->statusOut = out;
  options->progressOut = out;
  options->progressInPlace = isTerminal;
  options->color = isTerminal && (noColor == nullptr || noColor[0] == '\0');
  const int status = updater::runHeadless(*options);
  if (status != 0) std::fprintf(out, "log: %s\n", logFile->path().toLocal8Bit().constData());
  std::fflush(out);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) return runHeadless(argc, argv);
  }
  QApplication app(argc, argv);
  nameTheProgram();
  const auto logFile = updater::LogFile::installForProgram();

  auto controller = std::make_shared<updater::AppDelegate>(updater::manifestURL());
  app::MainWindow window(controller);
  window.show();
  controller->applicationDidFinishLaunching();
  return app.exec();
}
