// The window's widgets as the controller's outlets: status text, update button, concurrency
// choice, folder picker and the progress bar as a progress recipient.
#pragma once

#include "platform/object.h"
#include "updater/window_outlets.h"

#include <QPointer>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QWidget;

namespace app {

// The status text: shown in its field and at the end of the window title. Thread: main.
class StatusField : public updater::StatusText {
 public:
  StatusField(QLineEdit* field, QWidget* window, QString title);
  void setStringValue(const QString& text) override;
  QString stringValue() const override;

 private:
  QPointer<QLineEdit> field_;
  QPointer<QWidget> window_;
  QString title_;
};

// A plain text under the progress bar. Thread: main.
class LabelOutlet : public updater::StatusText {
 public:
  explicit LabelOutlet(QLabel* label) : label_(label) {}
  void setStringValue(const QString& text) override;
  QString stringValue() const override;

 private:
  QPointer<QLabel> label_;
};

class ButtonOutlet : public updater::UpdateButton {
 public:
  explicit ButtonOutlet(QPushButton* button) : button_(button) {}
  void setEnabled(bool enabled) override;
  bool isEnabled() const override;

 private:
  QPointer<QPushButton> button_;
};

class ComboOutlet : public updater::TitledControl {
 public:
  explicit ComboOutlet(QComboBox* combo) : combo_(combo) {}
  QString titleOfSelectedItem() const override;

 private:
  QPointer<QComboBox> combo_;
};

// A modal folders-only dialog (the toolkit's own, so it looks the same on every desktop).
class FolderDialog : public updater::FolderPicker {
 public:
  explicit FolderDialog(QWidget* parent) : parent_(parent) {}
  std::optional<QString> chooseFolder(const QString& startFolder) override;

 private:
  QPointer<QWidget> parent_;
};

// The progress bar as a progress recipient: setMaxValue: and setDoubleValue: in fractions.
class ProgressBarRecipient : public platform::Object {
  PLATFORM_OBJECT
 public:
  explicit ProgressBarRecipient(QProgressBar* bar);
  void setDoubleValue(double value);
  void setMaxValue(double value);

 private:
  void show();
  QPointer<QProgressBar> bar_;
  double value_ = 0;
  double maximum_ = 1;
};

}  // namespace app
