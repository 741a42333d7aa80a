// The program's entry point: the application loop with the one window over the controller.
#include "main_window.h"
#include "updater/app_delegate.h"
#include "updater/manifest_url.h"

#include <QApplication>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("AddonsUpdater"));
  QApplication::setApplicationVersion(QStringLiteral("1.0"));

  auto controller = std::make_shared<updater::AppDelegate>(updater::manifestURL());
  app::MainWindow window(controller);
  window.show();
  controller->applicationDidFinishLaunching();
  return app.exec();
}
