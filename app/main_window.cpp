// The window and how its widgets reach the controller.
#include "main_window.h"

#include "qt_outlets.h"
#include "updater/app_delegate.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {
namespace {

const QString kWindowTitle = QStringLiteral("AddonsUpdater");
// Choices of the concurrency control; the fourth ("4") is chosen at start.
constexpr int kMostDownloadsAtOnce = 8;
constexpr int kInitialChoice = 3;

}  // namespace

MainWindow::MainWindow(std::shared_ptr<updater::AppDelegate> controller)
    : controller_(std::move(controller)),
      status_(new QLineEdit),
      progress_(new QProgressBar),
      button_(new QPushButton(QStringLiteral("更新"))),
      queueNumber_(new QComboBox) {
  setWindowTitle(kWindowTitle);
  status_->setReadOnly(true);
  status_->setObjectName(QStringLiteral("pluginInfo"));
  status_->setMinimumWidth(360);
  progress_->setObjectName(QStringLiteral("loadingProgress"));
  progress_->setTextVisible(false);
  button_->setObjectName(QStringLiteral("updataButton"));
  queueNumber_->setObjectName(QStringLiteral("queueNumber"));
  for (int i = 1; i <= kMostDownloadsAtOnce; ++i) queueNumber_->addItem(QString::number(i));
  queueNumber_->setCurrentIndex(kInitialChoice);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(status_);
  layout->addWidget(progress_);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("同时下载"), central));
  row->addWidget(queueNumber_);
  row->addStretch();
  row->addWidget(button_);
  layout->addLayout(row);
  setCentralWidget(central);

  buttonOutlet_ = std::make_shared<ButtonOutlet>(button_);
  comboOutlet_ = std::make_shared<ComboOutlet>(queueNumber_);
  controller_->setPluginInfo(std::make_shared<StatusField>(status_, this, kWindowTitle));
  controller_->setUpdataButton(buttonOutlet_);
  controller_->setLoadingProgress(std::make_shared<ProgressBarRecipient>(progress_));
  controller_->setFolderPicker(std::make_shared<FolderDialog>(this));
  controller_->awakeFromNib();

  connect(button_, &QPushButton::clicked, this, [this] { controller_->StartDownloading(*buttonOutlet_); });
  connect(queueNumber_, &QComboBox::activated, this, [this] { controller_->ClickQueueNumber(*comboOutlet_); });
}

MainWindow::~MainWindow() = default;

}  // namespace app
