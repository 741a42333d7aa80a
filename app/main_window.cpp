// The window and how its widgets reach the controller.
#include "main_window.h"

#include "qt_outlets.h"
#include "updater/app_delegate.h"
#include "updater/state_paths.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
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
      queueNumber_(new QComboBox),
      progressLine_(new QLabel),
      flavour_(new QComboBox),
      rollbackButton_(new QPushButton(QStringLiteral("恢复上次版本"))),
      openLogButton_(new QPushButton(QStringLiteral("打开日志"))) {
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
  progressLine_->setObjectName(QStringLiteral("progressLine"));
  flavour_->setObjectName(QStringLiteral("flavour"));
  rollbackButton_->setObjectName(QStringLiteral("rollbackButton"));
  rollbackButton_->setEnabled(false);
  openLogButton_->setObjectName(QStringLiteral("openLogButton"));

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(status_);
  layout->addWidget(progress_);
  layout->addWidget(progressLine_);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("同时下载"), central));
  row->addWidget(queueNumber_);
  row->addWidget(flavour_);
  row->addStretch();
  row->addWidget(openLogButton_);
  row->addWidget(rollbackButton_);
  row->addWidget(button_);
  layout->addLayout(row);
  setCentralWidget(central);

  buttonOutlet_ = std::make_shared<ButtonOutlet>(button_);
  comboOutlet_ = std::make_shared<ComboOutlet>(queueNumber_);
  controller_->setPluginInfo(std::make_shared<StatusField>(status_, this, kWindowTitle));
  controller_->setUpdataButton(buttonOutlet_);
  controller_->setLoadingProgress(std::make_shared<ProgressBarRecipient>(progress_));
  controller_->setFolderPicker(std::make_shared<FolderDialog>(this));
  rollbackOutlet_ = std::make_shared<ButtonOutlet>(rollbackButton_);
  controller_->setRollbackButton(rollbackOutlet_);
  controller_->setProgressLine(std::make_shared<LabelOutlet>(progressLine_));
  controller_->awakeFromNib();
  // The flavour choice is offered only for an install found with several flavours.
  const auto& install = controller_->gameInstall();
  if (install && install->flavours.size() > 1) {
    flavour_->addItems(install->flavours);
    flavourOutlet_ = std::make_shared<ComboOutlet>(flavour_);
    connect(flavour_, &QComboBox::activated, this, [this] { controller_->ClickFlavour(*flavourOutlet_); });
  } else {
    flavour_->hide();
  }
  connect(rollbackButton_, &QPushButton::clicked, this, [this] { controller_->RestoreLastUpdate(); });
  connect(openLogButton_, &QPushButton::clicked, this, [] {
    const QString folder = updater::stateFolder();
    QDir().mkpath(folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
  });

  connect(button_, &QPushButton::clicked, this, [this] { controller_->StartDownloading(*buttonOutlet_); });
  connect(queueNumber_, &QComboBox::activated, this, [this] { controller_->ClickQueueNumber(*comboOutlet_); });
}

MainWindow::~MainWindow() = default;

}  // namespace app
