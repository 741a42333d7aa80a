// The one window: status text, progress bar with the progress line under it, update button, the
// choice of how many downloads run at once (and of the game flavour when there are several), the
// rollback button and a button that opens the log's folder. A thin view: its widgets only pass the user's actions to the controller.
#pragma once

#include <QMainWindow>

#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace updater {
class AppDelegate;
}

namespace app {

class ButtonOutlet;
class ComboOutlet;

// Thread: main. Owns its widgets and their outlets; holds the controller.
class MainWindow : public QMainWindow {
 public:
  explicit MainWindow(std::shared_ptr<updater::AppDelegate> controller);
  ~MainWindow() override;

 private:
  std::shared_ptr<updater::AppDelegate> controller_;
  QLineEdit* status_;
  QProgressBar* progress_;
  QPushButton* button_;
  QComboBox* queueNumber_;
  QLabel* progressLine_;
  QComboBox* flavour_;
  QPushButton* rollbackButton_;
  QPushButton* openLogButton_;
  std::shared_ptr<ButtonOutlet> buttonOutlet_;
  std::shared_ptr<ComboOutlet> comboOutlet_;
  std::shared_ptr<ComboOutlet> flavourOutlet_;
  std::shared_ptr<ButtonOutlet> rollbackOutlet_;
};

}  // namespace app
