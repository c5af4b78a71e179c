#include "send/uploadview.h"
#include "ui_uploadview.h"

#include "app/formatsize.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "send/sendpacker.h"
#include "send/userlistdialog.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

namespace {

const QString sendFile = QStringLiteral("send");

QString redLine(const QString &text)
{
    return QStringLiteral("<h3 style='color:red'>") + text + QStringLiteral("</h3>");
}

} // namespace

UploadView::UploadView(QWidget *parent) : QWidget(parent), ui(new Ui::UploadView)
{
    ui->setupUi(this);

    udpThread = std::make_unique<UDPSendThread>();
    tcpThread = std::make_unique<TCPSendThread>();
    connect(tcpThread.get(), &TCPSendThread::updateProgress, this, &UploadView::updateProgress);
    connect(tcpThread.get(), &TCPSendThread::sendFailed, this, &UploadView::sendFailed);

    userListDialog = new UserListDialog(this);
    connect(udpThread.get(), &UDPSendThread::userListUpdate, userListDialog,
            &UserListDialog::userListUpdate);
    connect(userListDialog, &UserListDialog::userListRefresh, udpThread.get(),
            &UDPSendThread::userListRefresh);

    settings = SettingsKeys::openConfig();
}

UploadView::~UploadView() = default;

QList<QFileInfo> UploadView::listFolder(const QString &path)
{
    return SendPacker::listFolder(path);
}

void UploadView::startSession()
{
    udpThread->setListenMode(true);
    udpThread->start(QThread::InheritPriority);
    active = true;

    ui->textBrowser->clear();
    shownProgress.clear();
    notice.clear();
    ui->textBrowser->setHtml(
        tr("<style>.img1{text-align:center;vertical-align:middle;display:table-cell;}</style>"
           "<div class='img1'><img src=':/image/addItem.ico'></img></div>"
           "<h3 class='img1'>将单个文件夹或多个文件<br>拖拽到此处</h3>"));
    ui->progressBar->setValue(0);
}

void UploadView::on_backPushButton_clicked()
{
    // A send that is running goes on; its end is still shown.
    udpThread->stopThread();
    active = false;
    emit changeView(QStringLiteral("main"));
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

    if (tcpThread->isRunning()) {
        // The thread is reading the work file; it must not be touched until the send ends.
        notice = redLine(tr("正在发送，请等待当前发送结束后再添加！"));
        ui->textBrowser->append(notice);
        return;
    }

    ui->textBrowser->clear();
    shownProgress.clear();
    notice.clear();

    QStringList paths;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls)
        paths << url.toLocalFile();

    SendPacker packer;
    if (!packer.collect(paths) || !packer.write(sendFile)) {
        const QString item = packer.failedItem().toHtmlEscaped();
        switch (packer.error()) {
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
        case SendPacker::WriteFailed:
        case SendPacker::NoError:
            appendRedLine(tr("无法写入发送文件！"));
            break;
        }
        return;
    }

    filesNumber = packer.filesNumber();
    itemsNumber = packer.itemsNumber();
    totalSize = packer.totalSize();
    fileName = packer.fileName();
    fileType = packer.fileType();
    // One append, one paragraph, a line per item: appending item by item re-lays out the
    // document each time, and a paragraph per item costs kilobytes each for thousands of files.
    QStringList added;
    for (const SendPacker::Item &item : packer.items())
        added << item.name.toHtmlEscaped() + tr("\t已添加");
    appendLine(QStringLiteral("<p>") + added.join(QStringLiteral("<br>")) + QStringLiteral("</p>") +
               tr("<h3 style='color:green'>添加成功！</h3>"));

    if (userListDialog->exec() != QDialog::Accepted) {
        appendRedLine(tr("取消发送！"));
        return;
    }
    const QString ip = userListDialog->selectedIp();
    if (ip.isEmpty())
        return;

    TransferRequest request;
    request.target = fileName;
    request.kind = fileType;
    request.filesNumber = filesNumber;
    request.itemsNumber = itemsNumber;
    request.contentLength = totalSize;
    request.senderName = SettingsKeys::userName(*settings);

    tcpThread->setIp(ip);
    tcpThread->setHeader(QString::fromUtf8(request.toUtf8()));
    tcpThread->start(QThread::InheritPriority);
}

void UploadView::updateProgress(float arg)
{
    const qint64 size = tcpThread->fileSize();
    const bool last = int(arg) == 1;
    ui->progressBar->setValue(int(arg * 100));

    const QString html = tr("<p style='color:green;font-size:20px;font-weight:bold'>正在发送...</p>"
                            "<p style='font-size:30px;font-weight:bold'>") +
                         formatSize(qint64(double(arg) * double(size))) + QLatin1Char('/') +
                         formatSize(size) + QStringLiteral("</p>") + notice;
    // One report comes per 1024 bytes; redrawing the same text for each would stall the view.
    if (html != shownProgress || last) {
        ui->textBrowser->setHtml(html);
        shownProgress = html;
    }
    if (!last)
        return;

    notice.clear();
    appendLine(tr("<h3 style='color:green'>发送成功！</h3>"));
    QMessageBox::information(this, tr("提示"), tr("传输完成！"), QMessageBox::Ok,
                             QMessageBox::NoButton);
}

void UploadView::sendFailed(int reason)
{
    notice.clear();
    switch (reason) {
    case TCPSendThread::Refused:
        appendRedLine(tr("对方拒绝接收！"));
        break;
    case TCPSendThread::ConnectFailed:
        appendRedLine(tr("连接失败！"));
        break;
    case TCPSendThread::SendBroken:
        appendRedLine(tr("发送中断！"));
        break;
    }
}

void UploadView::appendLine(const QString &html)
{
    ui->textBrowser->append(html);
    shownProgress.clear();
}

void UploadView::appendRedLine(const QString &text)
{
    appendLine(redLine(text));
}
