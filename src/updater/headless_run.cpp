// Driving the controller without a window.
#include "updater/headless_run.h"

#include "updater/app_delegate.h"
#include "updater/headless_window.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <chrono>

namespace updater {
namespace {

// Without a terminal the progress line is printed as its own line at most this often.
constexpr qint64 kPlainProgressIntervalMs = 1000;

class Printer {
 public:
  explicit Printer(const HeadlessOptions& options) : options_(options) {}

  void status(const QString& text) {
    endProgress();
    const bool failure = text == kStatusServerFailed || text == kStatusRestoreFailed ||
                         (text.startsWith(kStatusDone) && text != kStatusDone);
    const char* start = !options_.color ? "" : failure ? "\033[1;31m" : "\033[1m";
    std::fprintf(options_.statusOut, "%s%s%s\n", start, text.toUtf8().constData(), options_.color ? "\033[0m" : "");
    std::fflush(options_.statusOut);
  }

  void progress(const QString& line, bool last = false) {
    if (options_.progressOut == nullptr) return;
    const qint64 nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    if (options_.progressInPlace) {
      std::fprintf(options_.progressOut, "\r\033[K%s", line.toUtf8().constData());
      inPlace_ = true;
    } else {
      if (!last && nowMs - lastPlainMs_ < kPlainProgressIntervalMs) {
        pending_ = line;
        return;
      }
      std::fprintf(options_.progressOut, "%s\n", line.toUtf8().constData());
      pending_.clear();
      lastPlainMs_ = nowMs;
    }
    std::fflush(options_.progressOut);
  }

  // The last progress line is always shown, before the text that follows it.
  void endProgress() {
    if (!pending_.isEmpty()) progress(pending_, true);
    if (inPlace_) std::fputc('\n', options_.progressOut);
    inPlace_ = false;
  }

 private:
  const HeadlessOptions& options_;
  bool inPlace_ = false;
  QString pending_;
  qint64 lastPlainMs_ = -kPlainProgressIntervalMs;
};

}  // namespace

int runHeadless(const HeadlessOptions& options) {
  const QString gameFolder = QDir(options.gameFolder).absolutePath();
  QDir().mkpath(gameFolder);
  auto controller = std::make_shared<AppDelegate>(options.manifestURL);
  HeadlessWindow window;
  window.connect(*controller);
  controller->awakeFromNib();
  controller->setPluginSaveAdressHead(gameFolder);
  Printer printer(options);
  if (options.rollback) {
    window.setStatusListener([&](const QString& text) { printer.status(text); });
    return controller->RestoreLastUpdate() ? 0 : 1;
  }
  window.chooseQueueNumber(*controller, options.concurrency);
  window.setProgressLineListener([&](const QString& line) { printer.progress(line); });
  window.setStatusListener([&](const QString& text) {
    printer.status(text);
    if (text == kStatusDone) {
      QCoreApplication::exit(0);
    } else if (text.startsWith(kStatusDone) || text == kStatusServerFailed) {
      QCoreApplication::exit(1);  // some files failed, or no update at all
    }
  });
  QTimer::singleShot(0, [&] { window.pressUpdate(*controller); });
  const int status = QCoreApplication::exec();
  printer.endProgress();
  return status;
}

}  // namespace updater
