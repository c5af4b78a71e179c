#include "send/uploadview.h"
#include "ui_uploadview.h"

#include "protocol/formatsize.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "send/packprogress.h"
#include "send/packthread.h"
#include "send/tcpsendthread.h"
#include "send/userlistdialog.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

namespace {

constexpr int addedLinesPerTurn = 250;

QString redLine(const QString &text)
{
    return QStringLiteral("<h3 style='color:red'>") + text + QStringLiteral("</h3>");
}

QString greyLine(const QString &text)
{
    return QStringLiteral("<p style='color:gray'>") + text + QStringLiteral("</p>");
}

} // namespace

UploadView::UploadView(QWidget *parent) : QWidget(parent), ui(new Ui::UploadView)
{
    ui->setupUi(this);
    ui->cancelPushButton->hide();
    ui->resendPushButton->hide();
    ui->textBrowser->setOpenLinks(false);
    connect(ui->textBrowser, &QTextBrowser::anchorClicked, this, &UploadView::linkClicked);

    udpThread = std::make_unique<UDPSendThread>();
    tcpThread = std::make_unique<TCPSendThread>();
    packThread = std::make_unique<PackThread>();
    connect(tcpThread.get(), &TCPSendThread::updateProgress, this, &UploadView::updateProgress);
    connect(tcpThread.get(), &TCPSendThread::sendEnded, this, &UploadView::sendEnded);
    connect(packThread.get(), &PackThread::listed, this, &UploadView::listed);
    connect(packThread.get(), &PackThread::packFailed, this, &UploadView::packFailed);

    userListDialog = new UserListDialog(this);
    connect(udpThread.get(), &UDPSendThread::userListUpdate, userListDialog,
            &UserListDialog::userListUpdate);
    connect(userListDialog, &UserListDialog::userListRefresh, udpThread.get(),
            &UDPSendThread::userListRefresh);
    connect(userListDialog, &QDialog::finished, this, &UploadView::chooserFinished);

    addedTimer.setInterval(0);
    connect(&addedTimer, &QTimer::timeout, this, &UploadView::appendAddedLines);

    settings = SettingsKeys::openConfig();
    clock.start();
}

UploadView::~UploadView() = default;

QList<QFileInfo> UploadView::listFolder(const QString &path)
{
    return SendPacker::listFolder(path);
}

bool UploadView::transferRunning() const
{
    return preparing || tcpThread->isRunning();
}

void UploadView::startSession()
{
    udpThread->setListenMode(true);
    udpThread->start(QThread::InheritPriority);
    active = true;

    if (transferRunning())
        return; // what it shows stays until it ends
    ui->textBrowser->clear();
    ui->progressLabel->clear();
    ui->textBrowser->setHtml(
        tr("<style>.img1{text-align:center;vertical-align:middle;display:table-cell;}</style>"
           "<div class='img1'><a href='nubo:add'><img src=':/image/addItem.ico'></img></a></div>"
           "<h3 class='img1'>将单个文件夹或多个文件<br>拖拽到此处</h3>"));
    ui->progressBar->setValue(0);
}

bool UploadView::confirmLeave()
{
    if (!transferRunning())
        return true;
    return QMessageBox::question(this, tr("提示"), tr("正在发送文件，确定要取消吗？"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void UploadView::cancelTransfer()
{
    packThread->cancel();
    tcpThread->cancel(); // a running send reports its own end
    if (preparing && !tcpThread->isRunning()) {
        endTransfer();
        if (choosing)
            userListDialog->reject();
        appendRedLine(tr("已取消发送！"));
    }
}

void UploadView::on_backPushButton_clicked()
{
    if (!confirmLeave())
        return;
    cancelTransfer();
    udpThread->stopThread();
    active = false;
    emit changeView(QStringLiteral("main"));
}

void UploadView::on_cancelPushButton_clicked()
{
    if (confirmLeave())
        cancelTransfer();
}

void UploadView::on_chooseFilesPushButton_clicked()
{
    const QStringList files = QFileDialog::getOpenFileNames(this, tr("选择要发送的文件"));
    if (!files.isEmpty())
        takePaths(files);
}

void UploadView::on_chooseFolderPushButton_clicked()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("选择要发送的文件夹"));
    if (!folder.isEmpty())
        takePaths({folder});
}

void UploadView::on_resendPushButton_clicked()
{
    if (!lastPaths.isEmpty() && !receiver.isEmpty())
        takePaths(lastPaths, receiver);
}

void UploadView::linkClicked(const QUrl &url)
{
    if (url.toString() == QLatin1String("nubo:add"))
        on_chooseFilesPushButton_clicked();
}

void UploadView::dragEnterEvent(QDragEnterEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    // One folder alone, or any number of entries none of which is a folder.
    if (urls.size() > 1) {
        for (const QUrl &url : urls) {
            if (QFileInfo(url.toLocalFile()).isDir())
                return;
        }
    }
    event->accept();
}

void UploadView::dropEvent(QDropEvent *event)
{
    // Taken as a copy: a source that offered a move must not delete what it dragged.
    event->setDropAction(Qt::CopyAction);
    event->accept();

    QStringList paths;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls)
        paths << url.toLocalFile();
    takePaths(paths);
}

// Everything after this runs in threads or later turns of the event loop, so the drag source
// is released at once.
void UploadView::takePaths(const QStringList &paths, const QString &knownReceiver)
{
    if (transferRunning()) {
        // The work file is being written or sent; it must not be touched until that ends.
        appendRedLine(tr("正在发送，请等待当前发送结束后再添加！"));
        return;
    }

    ui->textBrowser->clear();
    ui->progressBar->setValue(0);
    addedLines.clear();
    addedTimer.stop();
    preparing = true;
    isListed = false;
    receiver = knownReceiver;
    lastPaths = paths;
    ui->resendPushButton->hide();
    ui->progressLabel->setText(
        tr("<p style='color:green;font-size:20px;font-weight:bold'>正在准备...</p>"));
    ui->cancelPushButton->show();

    packProgress = std::make_shared<PackProgress>();
    packThread->pack(paths, packProgress, ++packJob);
    if (receiver.isEmpty())
        QMetaObject::invokeMethod(this, &UploadView::openChooser, Qt::QueuedConnection);
}

void UploadView::openChooser()
{
    if (!preparing || choosing)
        return;
    choosing = true;
    userListDialog->open();
}

void UploadView::chooserFinished(int result)
{
    if (!choosing)
        return;
    choosing = false;
    if (!preparing)
        return; // packing failed while the chooser was open; that is shown already
    const QString ip = result == QDialog::Accepted ? userListDialog->selectedIp() : QString();
    if (ip.isEmpty()) {
        packThread->cancel();
        appendRedLine(tr("取消发送！"));
        endTransfer();
        return;
    }
    receiver = ip;
    if (isListed)
        startSend();
}

void UploadView::listed(int job, const SendPacker &packer)
{
    if (job != packJob || !preparing)
        return;
    list = packer;
    isListed = true;
    for (const SendPacker::Item &item : packer.items())
        addedLines << item.name.toHtmlEscaped() + tr("\t已添加");
    addedTimer.start();
    if (!receiver.isEmpty())
        startSend();
}

void UploadView::appendAddedLines()
{
    const QStringList lines = addedLines.mid(0, addedLinesPerTurn);
    addedLines = addedLines.mid(lines.size());
    // One paragraph, a line per item: a paragraph per item costs kilobytes each.
    QString html =
        QStringLiteral("<p>") + lines.join(QStringLiteral("<br>")) + QStringLiteral("</p>");
    if (addedLines.isEmpty()) {
        addedTimer.stop();
        html += tr("<h3 style='color:green'>添加成功！</h3>");
    }
    appendLine(html);
}

void UploadView::packFailed(int job, int error, const QString &failed)
{
    if (job != packJob)
        return;
    const QString item = failed.toHtmlEscaped();
    switch (error) {
    case SendPacker::Cancelled:
        return; // the cancel has said so already
    case SendPacker::NoItems:
        appendRedLine(tr("没有可发送的文件或文件夹！"));
        break;
    case SendPacker::InvalidName:
        appendRedLine(tr("名称含有换行、空字符或首尾空白，无法发送：%1").arg(item));
        break;
    case SendPacker::TooLarge:
        appendRedLine(tr("文件不能超过4GB，无法发送：%1").arg(item));
        break;
    case SendPacker::SourceUnreadable:
        appendRedLine(tr("无法读取，无法发送：%1").arg(item));
        break;
    case SendPacker::SourceChanged:
        appendRedLine(tr("文件在打包时发生了变化，无法发送：%1").arg(item));
        break;
    case SendPacker::DuplicateName:
        appendRedLine(tr("有多个同名项目，对方只能保存其中一个，无法发送：%1").arg(item));
        break;
    case SendPacker::WriteFailed:
    default:
        appendRedLine(tr("无法写入发送文件！"));
        break;
    }
    // A send already running sees the failure itself and ends.
    if (preparing && !tcpThread->isRunning()) {
        endTransfer();
        if (choosing)
            userListDialog->reject();
    }
}

void UploadView::startSend()
{
    preparing = false;
    TransferRequest request;
    request.target = list.fileName();
    request.kind = list.fileType();
    request.filesNumber = list.filesNumber();
    request.itemsNumber = list.itemsNumber();
    request.contentLength = list.totalSize();
    request.senderName = SettingsKeys::userName(*settings);

    tcpThread->setIp(receiver);
    tcpThread->setHeader(QString::fromUtf8(request.toUtf8()));
    tcpThread->setBody(packProgress, list.bodySize());
    meter.start(list.bodySize());
    meter.sample(0, clock.elapsed());
    showProgress(tr("正在发送..."), 0, list.bodySize());
    tcpThread->start(QThread::InheritPriority);
}

void UploadView::updateProgress(qint64 sent, qint64 total)
{
    meter.sample(sent, clock.elapsed());
    ui->progressBar->setValue(total > 0 ? int(qMin(sent, total) * 100 / total) : 0);
    showProgress(tr("正在发送..."), sent, total);
}

void UploadView::showProgress(const QString &title, qint64 sent, qint64 total)
{
    ui->progressLabel->setText(
        QStringLiteral("<p style='color:green;font-size:20px;font-weight:bold'>") + title +
        QStringLiteral("</p><p style='font-size:30px;font-weight:bold'>") +
        formatSize(qMin(sent, total)) + QLatin1Char('/') + formatSize(total) +
        QStringLiteral("</p><p style='color:gray;font-size:14px'>") + meter.text() +
        QStringLiteral("</p>"));
}

void UploadView::sendEnded(int outcome)
{
    endTransfer();
    switch (outcome) {
    case TCPSendThread::Delivered:
        ui->progressBar->setValue(100);
        ui->progressLabel->setText(
            tr("<p style='color:green;font-size:20px;font-weight:bold'>传输完成！</p>"));
        appendLine(tr("<h3 style='color:green'>发送成功！</h3>"));
        QMessageBox::information(this, tr("提示"), tr("传输完成！"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    case TCPSendThread::Unconfirmed:
        appendLine(greyLine(tr("已发送全部数据，但对方未确认是否已保存。")));
        break;
    case TCPSendThread::Refused:
        appendRedLine(tr("对方拒绝接收！"));
        break;
    case TCPSendThread::Unanswered:
        appendRedLine(tr("对方未应答！"));
        break;
    case TCPSendThread::ConnectFailed:
        appendRedLine(tr("连接失败！无法连接到 %1，请确认对方已打开“接收”，并与本机在同一网络中。")
                          .arg(receiver.toHtmlEscaped()));
        break;
    case TCPSendThread::SendBroken:
        appendRedLine(tr("发送中断！连接已断开。"));
        break;
    case TCPSendThread::NotStored:
        appendRedLine(tr("对方未能保存全部文件！"));
        break;
    case TCPSendThread::Cancelled:
        appendRedLine(tr("已取消发送！"));
        break;
    case TCPSendThread::PackFailed:
        appendRedLine(tr("发送中断！"));
        break;
    }
    ui->progressLabel->setText(
        tr("<p style='color:gray;font-size:20px;font-weight:bold'>发送未完成</p>"));
    ui->resendPushButton->show();
}

void UploadView::endTransfer()
{
    preparing = false;
    ui->cancelPushButton->hide();
}

void UploadView::appendLine(const QString &html)
{
    ui->textBrowser->append(html);
}

void UploadView::appendRedLine(const QString &text)
{
    appendLine(redLine(text));
}
