#include "send/uploadview.h"
#include "ui_uploadview.h"

#include "protocol/extendedprotocol.h"
#include "protocol/formatsize.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "send/receivermark.h"
#include "send/sendresulttext.h"
#include "send/sendsession.h"
#include "send/streamsender.h"
#include "send/userlistdialog.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
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

UploadView::UploadView(QWidget *parent)
    : QWidget(parent), ui(new Ui::UploadView), session(new SendSession(this))
{
    ui->setupUi(this);
    ui->cancelPushButton->hide();
    ui->resendPushButton->hide();
    ui->textBrowser->setOpenLinks(false);
    connect(ui->textBrowser, &QTextBrowser::anchorClicked, this, &UploadView::linkClicked);
    // The list follows its last line, whatever lays its lines out anew, so that the end of a
    // transfer is never hidden below its items.
    QScrollBar *const bar = ui->textBrowser->verticalScrollBar();
    connect(bar, &QScrollBar::rangeChanged, bar, [bar](int, int end) { bar->setValue(end); });

    udpThread = std::make_unique<UDPSendThread>();
    connect(session, &SendSession::listed, this, &UploadView::listed);
    connect(session, &SendSession::planned, this, &UploadView::planned);
    connect(session, &SendSession::accepted, this, &UploadView::accepted);
    connect(session, &SendSession::asking, this, &UploadView::askUser);
    connect(session, &SendSession::progress, this, &UploadView::updateProgress);
    connect(session, &SendSession::ended, this, &UploadView::sendEnded);

    userListDialog = new UserListDialog(this);
    connect(udpThread.get(), &UDPSendThread::userListUpdate, userListDialog,
            &UserListDialog::userListUpdate);
    connect(userListDialog, &UserListDialog::userListRefresh, udpThread.get(),
            &UDPSendThread::userListRefresh);
    connect(userListDialog, &QDialog::finished, this, &UploadView::chooserFinished);
    // Marked as the receiver announced itself: the same that decides the protocol it gets.
    userListDialog->setMarks([this](const QString &ip) {
        return ReceiverMark::of(udpThread->extendedPort(ip) != 0,
                                udpThread->extendedFingerprint(ip), knownDevices);
    });

    addedTimer.setInterval(0);
    connect(&addedTimer, &QTimer::timeout, this, &UploadView::appendAddedLines);

    settings = SettingsKeys::openConfig();
    clock.start();
}

UploadView::~UploadView() = default;

QList<QFileInfo> UploadView::listFolder(const QString &path)
{
    QList<QFileInfo> infos;
    for (const SendPacker::Item &item : SendPacker::listFolder(path))
        infos << QFileInfo(item.path);
    return infos;
}

bool UploadView::transferRunning() const
{
    return session->transferRunning();
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

// Returns at once; the session reports the end when the transfer's thread has stopped.
void UploadView::cancelTransfer()
{
    session->cancel();
    if (choosing) {
        choosing = false;
        userListDialog->reject();
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
    if (transferRunning())
        return;
    const QStringList files = QFileDialog::getOpenFileNames(this, tr("选择要发送的文件"));
    if (!files.isEmpty())
        takePaths(files);
}

void UploadView::on_chooseFolderPushButton_clicked()
{
    if (transferRunning())
        return;
    const QString folder = QFileDialog::getExistingDirectory(this, tr("选择要发送的文件夹"));
    if (!folder.isEmpty())
        takePaths({folder});
}

void UploadView::on_resendPushButton_clicked()
{
    if (!session->canResend())
        return;
    // Without a receiver picked last time, the chooser asks again.
    if (session->lastReceiver().isEmpty()) {
        takePaths(session->lastPaths());
        return;
    }
    begin(session->resend(receiverAt(session->lastReceiver())), true);
}

void UploadView::linkClicked(const QUrl &url)
{
    if (url.toString() == QLatin1String("nubo:add"))
        on_chooseFilesPushButton_clicked();
}

void UploadView::dragEnterEvent(QDragEnterEvent *event)
{
    // Every drop is taken, so that one that cannot be sent is told why.
    event->accept();
}

void UploadView::dropEvent(QDropEvent *event)
{
    // Taken as a copy: a source that offered a move must not delete what it dragged.
    event->setDropAction(Qt::CopyAction);
    event->accept();

    QStringList paths;
    int folders = 0;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        paths << url.toLocalFile();
        if (QFileInfo(paths.last()).isDir())
            ++folders;
    }
    // One folder alone, or any number of entries none of which is a folder.
    if (folders > 0 && paths.size() > 1) {
        appendRedLine(tr("只能拖入一个文件夹，或多个文件"));
        return;
    }
    takePaths(paths);
}

void UploadView::takePaths(const QStringList &paths)
{
    if (transferRunning()) {
        appendRedLine(tr("正在发送，请等待当前发送结束后再添加！"));
        return;
    }
    begin(session->start(paths), false);
}

// Everything after this runs in the session's thread or later turns of the event loop, so the
// drag source is released at once.
void UploadView::begin(int id, bool toKnownReceiver)
{
    if (id == 0)
        return;
    ui->textBrowser->clear();
    ui->progressBar->setValue(0);
    addedLines.clear();
    addedTimer.stop();
    transfer = id;
    chooserCancel = false;
    ui->resendPushButton->hide();
    ui->cancelPushButton->show();
    setPickersEnabled(false);
    if (toKnownReceiver) {
        showHeading(tr("等待对方确认…"));
    } else {
        showHeading(tr("正在准备..."));
        QMetaObject::invokeMethod(this, &UploadView::openChooser, Qt::QueuedConnection);
    }
}

void UploadView::openChooser()
{
    if (!transferRunning() || choosing)
        return;
    choosing = true;
    userListDialog->open();
}

void UploadView::chooserFinished(int result)
{
    if (!choosing)
        return;
    choosing = false;
    if (!transferRunning())
        return; // listing failed while the chooser was open; that is shown already
    const QString ip = result == QDialog::Accepted ? userListDialog->selectedIp() : QString();
    if (ip.isEmpty()) {
        chooserCancel = true;
        session->cancel();
        return;
    }
    session->send(receiverAt(ip));
    showHeading(tr("等待对方确认…"));
}

// The session is told who we are as the settings say now, and how to reach the receiver.
SendSession::Receiver UploadView::receiverAt(const QString &ip) const
{
    SendSession::Receiver receiver;
    receiver.ip = ip;
    for (const QString &heard : udpThread->userList()) {
        if (heard.section(QLatin1Char(':'), 1, 1) == ip)
            receiver.name = heard.section(QLatin1Char(':'), 0, 0);
    }
    receiver.senderName = SettingsKeys::userName(*settings);
    receiver.protocol = protocolFor(ip, &receiver.extendedPort);
    return receiver;
}

// Only a receiver that announced the extended protocol gets it at once; one heard on the presence
// port alone is a plain receiver (the phone application), and an address typed by hand is tried.
SendSession::Protocol UploadView::protocolFor(const QString &ip, quint16 *extendedPort) const
{
    *extendedPort = udpThread->extendedPort(ip);
    if (*extendedPort != 0)
        return SendSession::Protocol::Extended;
    *extendedPort = ExtendedProtocol::tcpPort;
    const QStringList heard = udpThread->userList();
    for (const QString &text : heard) {
        if (text.section(QLatin1Char(':'), 1, 1) == ip)
            return SendSession::Protocol::Plain;
    }
    return SendSession::Protocol::Probe;
}

void UploadView::listed(int id, const SendPacker &packer)
{
    if (id != transfer)
        return;
    for (const SendPacker::Item &item : packer.items())
        addedLines << item.name.toHtmlEscaped() + tr("\t已添加");
    leftOut = packer.leftOut();
    addedTimer.start();
    bodyTotal = packer.bodySize();
    meter.start(bodyTotal);
}

void UploadView::planned(int id, int skippedFiles, qint64 skippedBytes,
                         const QList<SendWorker::ResumedFile> &resumed, qint64 total)
{
    if (id != transfer)
        return;
    QStringList lines;
    if (skippedFiles > 0)
        lines << tr("跳过 %1 个未改变的文件（%2）").arg(skippedFiles).arg(formatSize(skippedBytes));
    for (const SendWorker::ResumedFile &file : resumed)
        lines << tr("%1：从 %2 处继续").arg(file.name.toHtmlEscaped(), formatSize(file.offset));
    if (!lines.isEmpty())
        appendLine(QStringLiteral("<p>") + lines.join(QStringLiteral("<br>")) +
                   QStringLiteral("</p>"));
    // Speed and time left count only what moves.
    bodyTotal = total;
    meter.start(total);
}

void UploadView::accepted(int id)
{
    if (id != transfer)
        return;
    meter.sample(0, clock.elapsed());
    updateProgress(id, 0, bodyTotal);
}

// Not modal: the transfer may end meanwhile (the receiver refuses, or gives up), and the box
// with it.
void UploadView::askUser(int id, SendSession::Question question, const QString &code)
{
    if (id != transfer)
        return;
    closeQuestion();
    const bool pairing = question == SendSession::Question::Pairing;
    questionBox = new QMessageBox(
        pairing ? QMessageBox::Question : QMessageBox::Warning, pairing ? tr("配对") : tr("未加密"),
        pairing ? tr("第一次向这台设备发送。请确认对方屏幕上显示的配对码与下面的相同：\n\n%1\n\n"
                     "一致才能发送。")
                      .arg(code)
                : tr("对方此次未加密：上次与它的传输是加密的，这次它只能以明文接收，同一网络中的"
                     "其他人可以看到传输的内容。仍要发送吗？"),
        QMessageBox::Yes | QMessageBox::No, this);
    questionBox->setAttribute(Qt::WA_DeleteOnClose);
    questionBox->button(QMessageBox::Yes)->setText(pairing ? tr("一致") : tr("仍要发送"));
    questionBox->button(QMessageBox::No)->setText(pairing ? tr("不一致") : tr("取消"));
    questionBox->setDefaultButton(QMessageBox::No);
    connect(questionBox, &QMessageBox::finished, this,
            [this](int button) { session->answer(button == QMessageBox::Yes); });
    questionBox->open();
}

void UploadView::closeQuestion()
{
    if (!questionBox)
        return;
    questionBox->disconnect(this);
    questionBox->close(); // deletes it
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
        // Hidden folders and links are not sent: the user is told, not left to find out.
        html += leftOut > 0 ? tr("<h3 style='color:green'>已添加，%1 个隐藏文件夹或链接未添加</h3>")
                                  .arg(leftOut)
                            : tr("<h3 style='color:green'>添加成功！</h3>");
    }
    appendLine(html);
}

void UploadView::updateProgress(int id, qint64 sent, qint64 total)
{
    if (id != transfer)
        return;
    meter.sample(sent, clock.elapsed());
    ui->progressBar->setValue(total > 0 ? int(qMin(sent, total) * 100 / total) : 0);
    showProgress(tr("正在发送..."), sent, total);
}

void UploadView::showHeading(const QString &title, const QString &colour)
{
    ui->progressLabel->setText(
        QStringLiteral("<p style='color:%1;font-size:20px;font-weight:bold'>").arg(colour) +
        title.toHtmlEscaped() + QStringLiteral("</p>"));
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

void UploadView::setPickersEnabled(bool enabled)
{
    ui->chooseFilesPushButton->setEnabled(enabled);
    ui->chooseFolderPushButton->setEnabled(enabled);
}

void UploadView::sendEnded(int id, const SendResult &result)
{
    if (id != transfer)
        return;
    addedTimer.stop();
    if (!addedLines.isEmpty())
        appendAddedLines(); // the rest of the list, before the end
    ui->cancelPushButton->hide();
    setPickersEnabled(true);
    closeQuestion();
    if (choosing) {
        choosing = false;
        userListDialog->reject();
    }
    switch (result.outcome) {
    case SendResult::Delivered:
        ui->progressBar->setValue(100);
        showHeading(tr("传输完成！"));
        appendLine(tr("<h3 style='color:green'>发送成功！</h3>"));
        QMessageBox::information(this, tr("提示"), tr("传输完成！"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    case SendResult::Unconfirmed:
        appendLine(greyLine(tr("已发送全部数据，但对方未确认是否已保存。")));
        break;
    case SendResult::Cancelled:
        appendRedLine(chooserCancel ? tr("取消发送！") : tr("已取消发送！"));
        break;
    default:
        appendRedLine(failureText(result));
        break;
    }
    showHeading(tr("发送未完成"), QStringLiteral("gray"));
    // A drop that cannot be sent is not sent again as it is.
    if (result.outcome != SendResult::ListFailed)
        ui->resendPushButton->show();
}

// Names and reasons come from peers and files: escaped, they show as text.
QString UploadView::failureText(const SendResult &result) const
{
    return SendResultText::of(result, session->lastReceiver()).toHtmlEscaped();
}

void UploadView::appendLine(const QString &html)
{
    ui->textBrowser->append(html);
}

void UploadView::appendRedLine(const QString &text)
{
    appendLine(redLine(text));
}
