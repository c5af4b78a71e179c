#include "receive/downloadview.h"
#include "ui_downloadview.h"

#include "app/formatsize.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "protocol/udpsendthread.h"
#include "receive/receivehtml.h"
#include "receive/streamunpacker.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QPixmap>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {

const QString headerFileName = QStringLiteral("header");
const QString streamFileName = QStringLiteral("stream");

constexpr int quietPeriodMs = 1000;
// Body chunks are written as they come; this only bounds one read from the socket.
constexpr qint64 chunkSize = 1024 * 1024;
// A request is a few hundred bytes; a peer that keeps talking without pause is not sending one.
constexpr qint64 maxHeaderBytes = 64 * 1024;

qint64 contentLength(const QString &text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok && value > 0 ? value : 0;
}

} // namespace

DownloadView::DownloadView(QWidget *parent) : QWidget(parent), ui(new Ui::DownloadView)
{
    ui->setupUi(this);

    settings = SettingsKeys::openConfig();
    timer = new QTimer(this);
    // A coarse timer may fire a little early; the quiet period is a promise to the sender.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &DownloadView::question);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &DownloadView::dropIdleConnection);
    connect(ui->textBrowser, &QTextBrowser::anchorClicked, this, &DownloadView::openFile);
    questionBox = new QMessageBox(this);
    questionBox->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    questionBox->setWindowTitle(tr("是否接收文件？"));
}

DownloadView::~DownloadView()
{
    endSession(false);
}

QMap<QString, QString> DownloadView::parseHeader(const QString &text)
{
    return TransferRequest::parseHeader(text);
}

void DownloadView::startSession()
{
    endSession(false);

    ui->textBrowser->clear();
    ui->progressBar->setValue(0);
    active = true;

    tcpServer = new QTcpServer(this);
    connect(tcpServer, &QTcpServer::newConnection, this, &DownloadView::newConnection);

    udpThread = std::make_unique<UDPSendThread>();
    udpThread->setUserName(SettingsKeys::userName(*settings));
    udpThread->setListenMode(false);
    udpThread->start(QThread::InheritPriority);

    // Without an address of our own there is nothing safe to listen on.
    const QHostAddress address = udpThread->localAddress;
    if (address.isNull())
        appendHtml(ReceiveHtml::problem(tr("未找到本机网络地址，无法接收文件！")));
    else if (!tcpServer->listen(address, TransferRequest::port))
        appendHtml(ReceiveHtml::problem(tr("无法监听端口%1（%2），无法接收文件！")
                                            .arg(TransferRequest::port)
                                            .arg(tcpServer->errorString())));

    stage = Stage::Header;
    headerBytes = 0;
    if (!openWorkFile(headerFileName))
        appendHtml(ReceiveHtml::problem(tr("无法打开工作文件“header”，无法接收文件！")));

    reportUnusableSaveDir(SettingsKeys::saveDir(*settings));
}

void DownloadView::on_backPushButton_clicked()
{
    endSession(true);
    emit changeView(QStringLiteral("main"));
}

void DownloadView::newConnection()
{
    while (QTcpSocket *socket = tcpServer->nextPendingConnection()) {
        // One transfer at a time: bytes of a second connection must never reach the work files.
        if (stage != Stage::Header || tcpSocket || !recvFile.isOpen()) {
            refuseConnection(socket);
            continue;
        }
        tcpSocket = socket;
        connect(socket, &QTcpSocket::connected, this, &DownloadView::onClientConnected);
        connect(socket, &QTcpSocket::readyRead, this, &DownloadView::onSocketReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &DownloadView::onClientDisconnected);
        connect(socket, &QTcpSocket::stateChanged, this, &DownloadView::onSocketStateChange);
        idleTimer.start(idleTimeoutMs);
        // Bytes that came with the connection are announced by readyRead as usual.
    }
}

void DownloadView::onClientConnected() {}

void DownloadView::onSocketReadyRead()
{
    if (sender() == tcpSocket)
        storeIncoming();
}

void DownloadView::onClientDisconnected()
{
    if (sender() == tcpSocket)
        endTransfer(true);
}

void DownloadView::onSocketStateChange(QAbstractSocket::SocketState socketState)
{
    Q_UNUSED(socketState)
}

void DownloadView::question()
{
    timer->stop();
    if (stage != Stage::Header || !tcpSocket)
        return;

    // From here on every byte belongs to the body, whatever the answer.
    recvFile.close();
    const bool streamOpen = openWorkFile(streamFileName);
    bodyLost = false;

    QFile headerFile(headerFileName);
    QByteArray bytes;
    if (headerFile.open(QIODevice::ReadOnly))
        bytes = headerFile.read(maxHeaderBytes);
    headerFile.close();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QMap<QString, QString> fields = parseHeader(QString::fromUtf8(bytes));
    // The user takes the time the user takes; the sender's own wait bounds the question.
    idleTimer.stop();

    const qint64 total = contentLength(fields.value(QStringLiteral("Content-Length")));
    progress.start(total);
    progressStale = false;
    ui->progressBar->setMaximum(progress.barMaximum());
    ui->progressBar->setValue(0);
    stage = Stage::Asking;

    if (!streamOpen) {
        appendHtml(ReceiveHtml::problem(tr("无法打开工作文件“stream”，拒绝传输！")));
        reply(TransferReply::refusal(), Stage::Refused);
        return;
    }

    questionBox->setText(formatSize(total) + QLatin1Char('\n') +
                         fields.value(QStringLiteral("Items-Number")) + tr("个文件\n来自:") +
                         fields.value(QStringLiteral("sender-name")));
    const bool isFile =
        fields.value(QStringLiteral("Content-Type")) == QLatin1String("application/file");
    questionBox->setIconPixmap(QPixmap(isFile ? QStringLiteral(":/image/file.ico")
                                              : QStringLiteral(":/image/folder.ico")));

    const quint64 asked = transferNumber;
    const int answer = questionBox->exec();
    // The sender may have gone while the question was open; its end has been handled already.
    if (asked != transferNumber || !tcpSocket)
        return;

    if (answer == QMessageBox::Yes) {
        reply(TransferReply::accept(), Stage::Receiving);
    } else {
        appendHtml(ReceiveHtml::refused());
        reply(TransferReply::refusal(), Stage::Refused);
    }
}

void DownloadView::openFile(const QUrl &url)
{
    if (url.isLocalFile())
        QDesktopServices::openUrl(url);
}

void DownloadView::endSession(bool interactive)
{
    if (!active)
        return;
    active = false;
    if (tcpServer) {
        // close() gives the port back now; the object itself goes once no slot of it runs.
        tcpServer->close();
        disconnect(tcpServer, nullptr, this, nullptr);
        tcpServer->deleteLater();
    }
    udpThread.reset(); // stops the presence loop at once and waits for it
    if (tcpSocket)
        endTransfer(interactive);
    timer->stop();
    recvFile.close();
    stage = Stage::Idle;
}

void DownloadView::endTransfer(bool interactive)
{
    QTcpSocket *socket = tcpSocket;
    if (!socket)
        return;
    storeIncoming(); // what arrived together with the close
    disconnect(socket, nullptr, this, nullptr);
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    socket->deleteLater();
    tcpSocket = nullptr;
    ++transferNumber;
    idleTimer.stop();

    const Stage ended = stage;
    timer->stop();
    recvFile.close();
    if (active) {
        stage = Stage::Header;
        headerBytes = 0;
        if (!openWorkFile(headerFileName))
            appendHtml(ReceiveHtml::problem(tr("无法打开工作文件“header”，无法接收文件！")));
    }
    ui->progressBar->setValue(0);
    qDebug() << "客户端断开连接";

    if (ended == Stage::Asking) {
        if (questionBox->isVisible())
            questionBox->done(QMessageBox::No);
        appendHtml(ReceiveHtml::notice(tr("发送方已断开连接。")));
    } else if (ended == Stage::Receiving && interactive) {
        unpackStream();
    }
}

void DownloadView::storeIncoming()
{
    bool headerGrew = false;
    bool bodyGrew = false;
    while (tcpSocket && tcpSocket->bytesAvailable() > 0) {
        const QByteArray chunk = tcpSocket->read(chunkSize);
        switch (stage) {
        case Stage::Header:
            headerBytes += chunk.size();
            recvFile.write(chunk);
            headerGrew = true;
            break;
        case Stage::Asking:
        case Stage::Receiving:
            if (recvFile.write(chunk) != chunk.size())
                bodyLost = true;
            if (progress.add(chunk.size()))
                progressStale = true;
            bodyGrew = true;
            break;
        case Stage::Idle:
        case Stage::Refused:
            break;
        }
    }

    // Each chunk goes to disk as it comes, and a full disk shows up here rather than later.
    if ((headerGrew || bodyGrew) && !recvFile.flush() && bodyGrew)
        bodyLost = true;

    // A request has the idle time from connecting to arrive whole, however it trickles in; a
    // body only has to keep moving.
    if (bodyGrew && stage == Stage::Receiving)
        idleTimer.start(idleTimeoutMs);
    if (headerGrew) {
        if (headerBytes > maxHeaderBytes) {
            timer->stop();
            appendHtml(ReceiveHtml::problem(tr("请求头过长，拒绝传输！")));
            reply(TransferReply::refusal(), Stage::Refused);
        } else {
            timer->start(quietPeriodMs);
        }
    }
    if (bodyGrew && stage == Stage::Receiving) {
        // Only when the shown size changes: rebuilding the text for every chunk would cost more
        // than receiving it.
        if (progressStale) {
            progressStale = false;
            ui->textBrowser->setHtml(ReceiveHtml::progress(progress.received(), progress.total()));
        }
        ui->progressBar->setValue(progress.barValue());
    }
}

void DownloadView::refuseConnection(QTcpSocket *socket)
{
    qDebug() << "拒绝";
    socket->write(TransferReply::refusal());
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
}

void DownloadView::reply(const QByteArray &bytes, Stage next)
{
    stage = next;
    if (next == Stage::Receiving)
        idleTimer.start(idleTimeoutMs);
    else
        idleTimer.stop();
    if (!tcpSocket)
        return;
    tcpSocket->write(bytes);
    // A refused transfer is over. Senders may keep their end open, and while it is open no
    // other transfer can start, so this end closes once the reply has left.
    if (next == Stage::Refused)
        tcpSocket->disconnectFromHost();
}

bool DownloadView::openWorkFile(const QString &name)
{
    recvFile.close();
    recvFile.setFileName(name);
    return recvFile.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

void DownloadView::unpackStream()
{
    if (bodyLost) {
        appendHtml(ReceiveHtml::problem(tr("写入工作文件“stream”失败，接收不完整！")));
        return;
    }
    QFile stream(streamFileName);
    if (!stream.open(QIODevice::ReadOnly)) {
        appendHtml(ReceiveHtml::problem(tr("无法读取工作文件“stream”，接收失败！")));
        return;
    }
    const QString saveDir = SettingsKeys::saveDir(*settings);
    if (!QFileInfo(saveDir).isDir() || !QFileInfo(saveDir).isWritable()) {
        reportUnusableSaveDir(saveDir);
        return;
    }
    const StreamUnpacker::Result result = StreamUnpacker::unpack(saveDir, &stream);
    stream.close();
    appendHtml(ReceiveHtml::unpackReport(result));
    if (ReceiveHtml::isSuccess(result))
        QMessageBox::information(this, tr("提示"), tr("接收完成！"));
}

void DownloadView::appendHtml(const QString &html)
{
    ui->textBrowser->append(html);
}

void DownloadView::reportUnusableSaveDir(const QString &saveDir)
{
    const QFileInfo info(saveDir);
    if (!info.isDir() || !info.isWritable())
        appendHtml(ReceiveHtml::problem(tr("保存路径不存在或不可写：%1").arg(saveDir)));
}

void DownloadView::dropIdleConnection()
{
    if (!tcpSocket || (stage != Stage::Header && stage != Stage::Receiving))
        return;
    qDebug() << "连接超时";
    appendHtml(ReceiveHtml::notice(tr("对方长时间没有发送数据，已断开连接。")));
    // A body cut off here is unpacked as far as it is whole and reported incomplete.
    endTransfer(true);
}
