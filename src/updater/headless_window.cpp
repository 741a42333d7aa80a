// The stand-in window.
#include "updater/headless_window.h"

#include "updater/app_delegate.h"

namespace updater {

class HeadlessWindow::Controls : public StatusText, public UpdateButton, public TitledControl, public FolderPicker {
 public:
  void setStringValue(const QString& text) override {
    texts << text;
    if (listener) listener(text);
  }
  QString stringValue() const override { return texts.isEmpty() ? QString() : texts.back(); }
  void setEnabled(bool value) override { enabled = value; }
  bool isEnabled() const override { return enabled; }
  QString titleOfSelectedItem() const override { return title; }
  std::optional<QString> chooseFolder(const QString&) override {
    ++pickerShown;
    return picked;
  }

  QStringList texts;
  StatusListener listener;
  bool enabled = true;
  QString title = QStringLiteral("4");
  std::optional<QString> picked;
  int pickerShown = 0;
};

class HeadlessWindow::Line : public StatusText {
 public:
  void setStringValue(const QString& text) override {
    value = text;
    if (listener) listener(text);
  }
  QString stringValue() const override { return value; }
  QString value;
  StatusListener listener;
};

class HeadlessWindow::Button : public UpdateButton {
 public:
  void setEnabled(bool value) override { enabled = value; }
  bool isEnabled() const override { return enabled; }
  bool enabled = false;
};

// The progress bar: a recipient of setDoubleValue: and setMaxValue:.
class ProgressBar : public platform::Object {
  PLATFORM_OBJECT
 public:
  void setDoubleValue(double v) { value = v; }
  void setMaxValue(double v) { maximum = v; }
  double value = 0;
  double maximum = 0;
};

const platform::MethodTable& ProgressBar::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("setDoubleValue:", &ProgressBar::setDoubleValue),
      platform::method("setMaxValue:", &ProgressBar::setMaxValue),
  });
  return table;
}

HeadlessWindow::HeadlessWindow()
    : controls_(std::make_shared<Controls>()), line_(std::make_shared<Line>()), rollback_(std::make_shared<Button>()) {}
HeadlessWindow::~HeadlessWindow() = default;

void HeadlessWindow::connect(AppDelegate& controller) {
  controller.setPluginInfo(std::shared_ptr<StatusText>(controls_, controls_.get()));
  controller.setUpdataButton(std::shared_ptr<UpdateButton>(controls_, controls_.get()));
  controller.setFolderPicker(std::shared_ptr<FolderPicker>(controls_, controls_.get()));
  progress_ = std::make_shared<ProgressBar>();
  controller.setLoadingProgress(progress_);
  controller.setProgressLine(line_);
  controller.setRollbackButton(rollback_);
}

void HeadlessWindow::setProgressLineListener(StatusListener listener) { line_->listener = std::move(listener); }
QString HeadlessWindow::progressLine() const { return line_->value; }
bool HeadlessWindow::rollbackEnabled() const { return rollback_->enabled; }

void HeadlessWindow::setStatusListener(StatusListener listener) { controls_->listener = std::move(listener); }
void HeadlessWindow::setPickedFolder(std::optional<QString> folder) { controls_->picked = std::move(folder); }

void HeadlessWindow::chooseQueueNumber(AppDelegate& controller, const QString& title) {
  controls_->title = title;
  controller.ClickQueueNumber(*controls_);
}

void HeadlessWindow::pressUpdate(AppDelegate& controller) {
  if (controls_->enabled) controller.StartDownloading(*controls_);
}

const QStringList& HeadlessWindow::statusTexts() const { return controls_->texts; }
bool HeadlessWindow::buttonEnabled() const { return controls_->enabled; }
int HeadlessWindow::pickerShown() const { return controls_->pickerShown; }
double HeadlessWindow::progressValue() const { return progress_ ? progress_->value : 0; }
double HeadlessWindow::progressMaximum() const { return progress_ ? progress_->maximum : 0; }

}  // namespace updater
