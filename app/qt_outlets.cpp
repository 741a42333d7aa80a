// The window's widgets behind the controller's outlets.
#include "qt_outlets.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cmath>

namespace app {
namespace {

// Steps of the progress bar: fine enough for any number of downloads on screen.
constexpr int kProgressSteps = 1000;

}  // namespace

StatusField::StatusField(QLineEdit* field, QWidget* window, QString title)
    : field_(field), window_(window), title_(std::move(title)) {}

void StatusField::setStringValue(const QString& text) {
  if (field_) field_->setText(text);
  if (window_) window_->setWindowTitle(text.isEmpty() ? title_ : title_ + QStringLiteral(" — ") + text);
}

QString StatusField::stringValue() const { return field_ ? field_->text() : QString(); }

void LabelOutlet::setStringValue(const QString& text) {
  if (label_) label_->setText(text);
}

QString LabelOutlet::stringValue() const { return label_ ? label_->text() : QString(); }

void ButtonOutlet::setEnabled(bool enabled) {
  if (button_) button_->setEnabled(enabled);
}

bool ButtonOutlet::isEnabled() const { return button_ && button_->isEnabled(); }

QString ComboOutlet::titleOfSelectedItem() const { return combo_ ? combo_->currentText() : QString(); }

std::optional<QString> FolderDialog::chooseFolder(const QString& startFolder) {
  QFileDialog dialog(parent_, QStringLiteral("选择魔兽世界目录"), startFolder);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setObjectName(QStringLiteral("folderPicker"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst();
}

const platform::MethodTable& ProgressBarRecipient::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("setDoubleValue:", &ProgressBarRecipient::setDoubleValue),
      platform::method("setMaxValue:", &ProgressBarRecipient::setMaxValue),
  });
  return table;
}

ProgressBarRecipient::ProgressBarRecipient(QProgressBar* bar) : bar_(bar) {
  if (bar_) bar_->setRange(0, kProgressSteps);
}

void ProgressBarRecipient::setDoubleValue(double value) {
  value_ = value;
  show();
}

void ProgressBarRecipient::setMaxValue(double value) {
  maximum_ = value;
  show();
}

void ProgressBarRecipient::show() {
  if (!bar_) return;
  double fraction = maximum_ > 0 ? value_ / maximum_ : 0;
  if (!std::isfinite(fraction)) fraction = 0;  // a total of 0 has no meaningful fraction
  bar_->setValue(static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * kProgressSteps)));
}

}  // namespace app
