// The one window: status text, progress bar, update button and the choice of how many downloads
// run at once. A thin view: its widgets only pass the user's actions to the controller.
#pragma once

#include <QMainWindow>

#include <memory>

class QComboBox;
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
  std::shared_ptr<ButtonOutlet> buttonOutlet_;
  std::shared_ptr<ComboOutlet> comboOutlet_;
};

}  // namespace app
