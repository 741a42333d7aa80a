// What the updater controller needs of its window: a status text, an update button, the choice of
// how many downloads run at once and a folder picker. The Qt window and the headless driver each
// provide them; the progress bar is a progress recipient (setDoubleValue:/setMaxValue:).
#pragma once

#include <QString>

#include <optional>

namespace updater {

// The status text field. Thread: main.
class StatusText {
 public:
  virtual ~StatusText() = default;
  virtual void setStringValue(const QString& text) = 0;
  virtual QString stringValue() const = 0;
};

// The update button. Thread: main.
class UpdateButton {
 public:
  virtual ~UpdateButton() = default;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() const = 0;
};

// The concurrency control, as the sender of its action: the title of the chosen item. Thread: main.
class TitledControl {
 public:
  virtual ~TitledControl() = default;
  virtual QString titleOfSelectedItem() const = 0;
};

// A modal picker that allows choosing folders (not files), starting in `startFolder`. Returns the
// chosen path, or nothing when the user cancelled. Thread: main.
class FolderPicker {
 public:
  virtual ~FolderPicker() = default;
  virtual std::optional<QString> chooseFolder(const QString& startFolder) = 0;
};

}  // namespace updater
