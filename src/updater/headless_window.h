// A stand-in for the window: the controls the controller needs, without any widgets. Development
// tools and tests drive a whole update through it and watch the status texts.
#pragma once

#include "platform/object.h"
#include "updater/window_outlets.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace updater {

class AppDelegate;

// Thread: main.
class HeadlessWindow {
 public:
  // Every status text, as it is set.
  using StatusListener = std::function<void(const QString& text)>;

  HeadlessWindow();
  ~HeadlessWindow();

  // Connects the controls to `controller` as its outlets (a picker that cancels unless
  // setPickedFolder() was called).
  void connect(AppDelegate& controller);
  void setStatusListener(StatusListener listener);
  // Every text of the progress line, as it is set.
  void setProgressLineListener(StatusListener listener);
  // The folder the picker answers with; nothing = the user cancels.
  void setPickedFolder(std::optional<QString> folder);
  // Chooses the concurrency control's item titled `title` and sends its action.
  void chooseQueueNumber(AppDelegate& controller, const QString& title);
  // Presses the update button.
  void pressUpdate(AppDelegate& controller);

  const QStringList& statusTexts() const;
  QString progressLine() const;
  bool rollbackEnabled() const;
  bool buttonEnabled() const;
  int pickerShown() const;
  // The last value and maximum the progress bar was given.
  double progressValue() const;
  double progressMaximum() const;

 private:
  class Controls;
  std::shared_ptr<Controls> controls_;
  std::shared_ptr<class ProgressBar> progress_;
  class Line;
  class Button;
  std::shared_ptr<Line> line_;
  std::shared_ptr<Button> rollback_;
};

}  // namespace updater
