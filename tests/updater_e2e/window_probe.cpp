// A probe loaded into the window under test (LD_PRELOAD): writes where the window's controls and
// the folder picker's name field are on the screen, and which dialogs open, so a test can click them.
//
// Active only when UPDATER_E2E_PROBE_FILE names a file; every report is one appended line:
//   widget <objectName> <x> <y> <width> <height> enabled=<0|1> visible=<0|1>   (screen coordinates)
//   dialog shown QFileDialog fileMode=<n> native=<0|1> directory=<path>
//   dialog hidden QFileDialog
//   progress <value> <minimum> <maximum>                       (the progress bar, at every change)
//   text <objectName> <text>                                   (the progress line, when it is drawn changed)
// The program itself is not changed: the probe only watches events through an application-wide
// event filter installed when the application object is created.
#include <QApplication>
#include <QByteArray>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QHash>
#include <QSet>
#include <QString>
#include <QWidget>

namespace {

class WindowProbe : public QObject {
 public:
  explicit WindowProbe(const QString& path) : file_(path) {
    file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Show:
      case QEvent::Hide:
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::EnabledChange:
        if (watched->isWidgetType()) report(static_cast<QWidget*>(watched), event->type());
        break;
      case QEvent::Paint:
        if (auto* label = qobject_cast<QLabel*>(watched); label != nullptr && isWatched(label)) {
          if (label->text() != lastTexts_.value(label)) {
            lastTexts_[label] = label->text();
            write(QStringLiteral("text %1 %2").arg(label->objectName(), label->text()));
          }
        }
        break;
      default:
        break;
    }
    return false;
  }

 private:
  void report(QWidget* widget, QEvent::Type type) {
    if (auto* dialog = qobject_cast<QFileDialog*>(widget)) {
      if (type == QEvent::Show) {
        write(QStringLiteral("dialog shown QFileDialog fileMode=%1 native=%2 directory=%3")
                  .arg(static_cast<int>(dialog->fileMode()))
                  .arg(dialog->testOption(QFileDialog::DontUseNativeDialog) ? 0 : 1)
                  .arg(dialog->directory().absolutePath()));
      } else if (type == QEvent::Hide) {
        write(QStringLiteral("dialog hidden QFileDialog"));
      }
    }
    // A window that moves or appears moves its controls on the screen without their own events.
    if (widget->isWindow() && type != QEvent::Hide && type != QEvent::EnabledChange) {
      for (QWidget* child : widget->findChildren<QWidget*>()) {
        if (isWatched(child)) reportWidget(child, child->isVisible());
      }
    }
    if (isWatched(widget)) reportWidget(widget, type != QEvent::Hide && widget->isVisible());
  }

  static bool isWatched(const QWidget* widget) {
    static const QSet<QString> kNames = {
        QStringLiteral("updataButton"), QStringLiteral("pluginInfo"),
        QStringLiteral("loadingProgress"), QStringLiteral("queueNumber"),
        QStringLiteral("fileNameEdit"), QStringLiteral("progressLine"),
        QStringLiteral("rollbackButton"), QStringLiteral("openLogButton")};
    return kNames.contains(widget->objectName());
  }

  void reportWidget(QWidget* widget, bool visible) {
    if (auto* bar = qobject_cast<QProgressBar*>(widget); bar != nullptr && !watchedBars_.contains(bar)) {
      watchedBars_.insert(bar);
      connect(bar, &QProgressBar::valueChanged, this, [this, bar](int value) {
        write(QStringLiteral("progress %1 %2 %3").arg(value).arg(bar->minimum()).arg(bar->maximum()));
      });
    }
    const QPoint topLeft = widget->mapToGlobal(QPoint(0, 0));
    write(QStringLiteral("widget %1 %2 %3 %4 %5 enabled=%6 visible=%7")
              .arg(widget->objectName())
              .arg(topLeft.x())
              .arg(topLeft.y())
              .arg(widget->width())
              .arg(widget->height())
              .arg(widget->isEnabled() ? 1 : 0)
              .arg(visible ? 1 : 0));
  }

  void write(const QString& line) {
    file_.write(line.toUtf8() + '\n');
    file_.flush();
  }

  QFile file_;
  QSet<QProgressBar*> watchedBars_;
  QHash<QLabel*, QString> lastTexts_;
};

void startWindowProbe() {
  const QByteArray path = qgetenv("UPDATER_E2E_PROBE_FILE");
  if (path.isEmpty() || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
  auto* probe = new WindowProbe(QString::fromLocal8Bit(path));
  probe->setParent(QCoreApplication::instance());
  QCoreApplication::instance()->installEventFilter(probe);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(startWindowProbe)
