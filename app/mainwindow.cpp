#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/mainview.h"
#include "receive/downloadview.h"
#include "security/identity.h"
#include "send/uploadview.h"
#include "settings/settingdialog.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QMessageBox>

#include <mutex>

namespace {

// The identity is made or loaded before anything may need it. A pair that cannot be used stays
// as it is (see Identity); the log says so once, and 设置 for as long as it lasts.
void takeIdentity()
{
    const Identity &identity = Identity::shared();
    if (!identity.isValid())
        qWarning().noquote() << "identity:" << identity.errorString() << "in"
                             << QDir::currentPath();
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    static std::once_flag identityTaken;
    std::call_once(identityTaken, takeIdentity);
    ui->setupUi(this);

    mainView = std::make_unique<MainView>();
    uploadView = std::make_unique<UploadView>();
    downloadView = std::make_unique<DownloadView>();
    settingDialog = std::make_unique<SettingDialog>();

    connect(mainView.get(), &MainView::changeView, this, &MainWindow::changeView);
    connect(uploadView.get(), &UploadView::changeView, this, &MainWindow::changeView);
    connect(downloadView.get(), &DownloadView::changeView, this, &MainWindow::changeView);
    connect(settingDialog.get(), &SettingDialog::settingsChanged, downloadView.get(),
            &DownloadView::applySettings);

    setCentralWidget(mainView.get());
}

MainWindow::~MainWindow()
{
    // The central view is a child of the window; detach it so that only its owner deletes it.
    detachViews();
}

void MainWindow::detachViews()
{
    mainView->setParent(nullptr);
    downloadView->setParent(nullptr);
    uploadView->setParent(nullptr);
}

void MainWindow::changeView(QString viewName)
{
    // setCentralWidget deletes the widget that is central at that moment; with every view
    // detached first there is none, so no view is ever lost by a switch.
    detachViews();
    if (viewName == QLatin1String("recv")) {
        downloadView->startSession();
        setCentralWidget(downloadView.get());
    } else if (viewName == QLatin1String("send")) {
        uploadView->startSession();
        setCentralWidget(uploadView.get());
    } else {
        setCentralWidget(mainView.get());
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QString question;
    if (downloadView->transferRunning())
        question = tr("正在接收文件。关闭窗口将取消这次接收，确定要关闭吗？");
    else if (uploadView->transferRunning())
        question = tr("正在发送文件。关闭窗口将取消这次发送，确定要关闭吗？");
    if (!question.isEmpty() &&
        QMessageBox::question(this, tr("提示"), question, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    downloadView->endSession();
    uploadView->cancelTransfer();
    event->accept();
}

void MainWindow::on_SettingAction_triggered()
{
    settingDialog->exec();
}

void MainWindow::on_action_QT_triggered()
{
    QMessageBox::aboutQt(this, tr("关于 Qt"));
}

void MainWindow::on_action_triggered()
{
    // The box shows the window's icon already.
    QMessageBox::about(this, tr("关于"), tr("<h3>Nubo文件传输助手</h3>版本：1.0.0"));
}
