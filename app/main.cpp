// The program's entry point: hands control to the application loop, which shows the window.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("AddonsUpdater"));
  QApplication::setApplicationVersion(QStringLiteral("1.0"));

  QMainWindow window;
  auto* central = new QWidget(&window);
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(new QLabel(central));
  layout->addWidget(new QProgressBar(central));
  layout->addWidget(new QPushButton(QStringLiteral("更新"), central));
  window.setCentralWidget(central);
  window.setWindowTitle(QStringLiteral("AddonsUpdater"));
  window.show();
  return app.exec();
}
