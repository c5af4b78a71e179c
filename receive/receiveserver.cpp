#include "receive/receiveserver.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>

#include <limits>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

const QString headerFileName = QStringLiteral("header");
const QString streamFileName = QStringLiteral("stream");

// Bounds one read from the socket; body chunks are written as they come.
constexpr qint64 chunkSize = 1024 * 1024;

bool parseCount(const QString &text, qint64 *value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    *value = text.toLongLong();
    return true;
}

} // namespace

ReceiveServer::ReceiveServer(QObject *parent)
    : QObject(parent), server(new QTcpServer(this)), quietTimer(this), idleTimer(this),
      answerTimer(this), reportTimer(this), recvFile(this)
{
    connect(server, &QTcpServer::newConnection, this, &ReceiveServer::newConnection);
    // A coarse timer may fire a little early; the quiet period is a promise to the sender.
    quietTimer.setTimerType(Qt::PreciseTimer);
    quietTimer.setSingleShot(true);
    connect(&quietTimer, &QTimer::timeout, this, &ReceiveServer::question);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &ReceiveServer::dropIdle);
    answerTimer.setSingleShot(true);
    connect(&answerTimer, &QTimer::timeout, this, &ReceiveServer::answerTimedOut);
    reportTimer.setInterval(reportIntervalMs);
    connect(&reportTimer, &QTimer::timeout, this, &ReceiveServer::report);
}

ReceiveServer::~ReceiveServer()
{
    close();
}

void ReceiveServer::setTimeouts(int idleMs, int answerMs, int quiet)
{
    idleTimeoutMs = idleMs;
    answerTimeoutMs = answerMs;
    quietMs = quiet;
}

bool ReceiveServer::listen(const QString &address, quint16 port)
{
    close();
    if (!server->listen(QHostAddress(address), port)) {
        qDebug() << "listen" << server->errorString();
        switch (server->serverError()) {
        case QAbstractSocket::AddressInUseError:
            listenErrorText = tr("端口已被占用，可能已有另一个程序在接收");
            break;
        case QAbstractSocket::SocketAccessError:
            listenErrorText = tr("没有使用该端口的权限");
            break;
        default:
            listenErrorText = tr("网络错误");
            break;
        }
        return false;
    }
    stage = Stage::Header;
    header.clear();
    openWorkFile(headerFileName);
    return true;
}

void ReceiveServer::close()
{
    server->close();
    if (socket) {
        if (stage == Stage::Receiving || stage == Stage::Asking)
            cancel();
        if (socket) {
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
    }
    quietTimer.stop();
    idleTimer.stop();
    answerTimer.stop();
    reportTimer.stop();
    recvFile.close();
    unpacker.reset();
    stage = Stage::Idle;
}

void ReceiveServer::newConnection()
{
    while (QTcpSocket *incoming = server->nextPendingConnection()) {
        // One transfer at a time: bytes of a second connection must never reach the work files.
        if (stage != Stage::Header || socket) {
            qDebug() << "拒绝";
            incoming->write(TransferReply::refusal());
            connect(incoming, &QTcpSocket::disconnected, incoming, &QObject::deleteLater);
            incoming->disconnectFromHost();
            continue;
        }
        socket = incoming;
        header.clear();
        openWorkFile(headerFileName);
        connect(incoming, &QTcpSocket::readyRead, this, &ReceiveServer::readIncoming);
        connect(incoming, &QTcpSocket::disconnected, this, &ReceiveServer::senderClosed);
        idleTimer.start(idleTimeoutMs);
        // Bytes that came with the connection are announced by readyRead as usual.
    }
}

void ReceiveServer::readIncoming()
{
    while (socket && socket->bytesAvailable() > 0) {
        switch (stage) {
        case Stage::Header: {
            const QByteArray chunk = socket->read(maxHeaderBytes + 1 - header.size());
            header += chunk;
            recvFile.write(chunk);
            recvFile.flush();
            if (header.size() > maxHeaderBytes) {
                refuseWith(tr("请求头过长，拒绝传输！"));
                return;
            }
            // A request has the idle time from connecting to arrive whole.
            quietTimer.start(quietMs);
            break;
        }
        case Stage::Asking:
            early += socket->read(maxEarlyBytes + 1 - early.size());
            if (early.size() > maxEarlyBytes) {
                qDebug() << "应答前收到过多数据";
                resetConnection();
                finish(Failed, tr("对方在确认前就发送了大量数据，已断开连接！"));
                return;
            }
            break;
        case Stage::Receiving:
            takeBody(socket->read(chunkSize));
            break;
        case Stage::Idle:
            socket->readAll();
            break;
        }
    }
}

void ReceiveServer::takeBody(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    idleTimer.start(idleTimeoutMs);
    // The work file keeps the body as it came; it goes to disk chunk by chunk.
    if (recvFile.write(chunk) != chunk.size() || !recvFile.flush()) {
        resetConnection();
        unpacker->finish();
        finish(Failed, tr("写入工作文件“stream”失败，接收不完整！"));
        return;
    }
    if (!unpacker->feed(chunk)) {
        qDebug() << "无法保存，断开连接";
        resetConnection();
        finish(Failed, QString());
        return;
    }
    if (unpacker->atEnd()) {
        // Everything is stored: ending the connection from this side tells the sender so.
        socket->disconnect(this);
        socket->disconnectFromHost();
        finish(Complete, QString());
    }
}

void ReceiveServer::question()
{
    if (stage != Stage::Header || !socket)
        return;
    idleTimer.stop();
    const QString text = QString::fromUtf8(
        header.left(header.indexOf('\0') >= 0 ? header.indexOf('\0') : header.size()));
    const QMap<QString, QString> fields = TransferRequest::parseHeader(text);

    // From here on every byte belongs to the body.
    const bool streamOpen = openWorkFile(streamFileName);
    early.clear();
    stage = Stage::Asking;

    qint64 size = 0;
    qint64 items = 0;
    if (!parseCount(fields.value(QStringLiteral("Content-Length")), &size) ||
        !parseCount(fields.value(QStringLiteral("Items-Number")), &items) || items < 1 ||
        items > std::numeric_limits<int>::max()) {
        refuseWith(tr("请求无效，拒绝传输！"));
        return;
    }
    if (!streamOpen) {
        refuseWith(tr("无法打开工作文件“stream”，拒绝传输！"));
        return;
    }
    const QString saveDir = SettingsKeys::saveDir(*SettingsKeys::openConfig());
    const QString problem = checkSaveDir(saveDir, size);
    if (!problem.isEmpty()) {
        refuseWith(problem);
        return;
    }

    offer = ReceiveOffer();
    offer.sender = fields.value(QStringLiteral("sender-name"));
    offer.target = TransferRequest::parseTarget(text);
    offer.isFile =
        fields.value(QStringLiteral("Content-Type")) == QLatin1String("application/file");
    offer.size = size;
    offer.items = int(items);
    qint64 files = 0;
    if (parseCount(fields.value(QStringLiteral("Files-Number")), &files) && files <= items)
        offer.files = int(files);
    offer.answerMs = answerTimeoutMs;
    if (!offer.target.isEmpty() && !offer.target.contains(QLatin1Char('/'))) {
        const QFileInfo existing(saveDir + QLatin1Char('/') + offer.target);
        offer.overwrites = existing.exists() || existing.isSymLink();
    }

    unpacker = std::make_unique<StreamUnpacker>(saveDir);
    unpacker->setRecordLimit(offer.items);
    unpacker->setDataLimit(offer.size);
    QStringList own;
    for (const QString &name : SettingsKeys::workingFolderFiles())
        own << QFileInfo(name).absoluteFilePath();
    unpacker->setProtectedPaths(own);
    answerTimer.start(answerTimeoutMs);
    emit offered(offer);
}

QString ReceiveServer::checkSaveDir(const QString &saveDir, qint64 size) const
{
    if (!QFileInfo(saveDir).isDir() && !QDir().mkpath(saveDir))
        return tr("保存路径不存在且无法创建：%1，拒绝传输！").arg(saveDir);
    const QFileInfo info(saveDir);
    if (!info.isDir() || !info.isWritable())
        return tr("保存路径不可写：%1，拒绝传输！").arg(saveDir);
    // Folders and file system overhead take a little more than the announced contents.
    const qint64 margin = 16 * 1024 * 1024;
    const QStorageInfo storage(saveDir);
    if (storage.isValid() && storage.bytesAvailable() >= 0 &&
        storage.bytesAvailable() < size + margin)
        return tr("保存路径空间不足（需要 %1），拒绝传输！")
            .arg(QString::number(double(size + margin) / (1024.0 * 1024.0), 'f', 1) +
                 QLatin1String("MB"));
    return QString();
}

void ReceiveServer::accept()
{
    if (stage != Stage::Asking || !socket)
        return;
    answerTimer.stop();
    socket->write(TransferReply::accept());
    stage = Stage::Receiving;
    idleTimer.start(idleTimeoutMs);
    reportTimer.start();
    emit progress(0, offer.size);
    const QByteArray pushed = early;
    early.clear();
    takeBody(pushed);
    if (stage == Stage::Receiving)
        readIncoming();
}

void ReceiveServer::refuse()
{
    if (stage != Stage::Asking || !socket)
        return;
    early.clear();
    socket->disconnect(this);
    socket->write(TransferReply::refusal());
    // A refused transfer is over. Senders may keep their end open, and while it is open no
    // other transfer can start, so this end closes once the reply has left.
    socket->disconnectFromHost();
    finish(Refused, QString());
}

void ReceiveServer::refuseWith(const QString &reason)
{
    qDebug() << "拒绝" << reason;
    if (socket) {
        socket->disconnect(this);
        socket->write(TransferReply::refusal());
        socket->disconnectFromHost();
    }
    finish(Failed, reason);
}

void ReceiveServer::cancel()
{
    if (!socket)
        return;
    if (stage == Stage::Asking) {
        refuse();
    } else if (stage == Stage::Receiving) {
        resetConnection();
        unpacker->finish();
        finish(Incomplete, tr("已取消接收。"));
    }
}

void ReceiveServer::answerTimedOut()
{
    if (stage != Stage::Asking || !socket)
        return;
    // No reply at all: the sender then tells "no answer" from a refusal.
    early.clear();
    socket->disconnect(this);
    socket->disconnectFromHost();
    finish(Unanswered, QString());
}

void ReceiveServer::dropIdle()
{
    if (!socket || (stage != Stage::Header && stage != Stage::Receiving))
        return;
    qDebug() << "连接超时";
    const QString reason = tr("对方长时间没有发送数据，已断开连接。");
    if (stage == Stage::Header) {
        socket->abort();
        return; // senderClosed() has run
    }
    resetConnection();
    unpacker->finish();
    finish(Incomplete, reason);
}

void ReceiveServer::senderClosed()
{
    qDebug() << "客户端断开连接";
    switch (stage) {
    case Stage::Header:
        finish(Complete, QString()); // nothing was asked; just make ready again
        break;
    case Stage::Asking:
        finish(SenderLeft, QString());
        break;
    case Stage::Receiving:
        readIncoming(); // what arrived together with the close
        if (stage == Stage::Receiving) {
            unpacker->finish();
            finish(Incomplete, QString());
        }
        break;
    case Stage::Idle:
        break;
    }
}

void ReceiveServer::report()
{
    if (!unpacker)
        return;
    const QList<StreamUnpacker::Entry> entries = unpacker->takeEntries();
    if (!entries.isEmpty())
        emit itemsStored(entries);
    emit progress(qMin(unpacker->dataBytes(), offer.size), offer.size);
}

void ReceiveServer::finish(Outcome outcome, const QString &reason)
{
    const Stage endedIn = stage;
    report();
    quietTimer.stop();
    idleTimer.stop();
    answerTimer.stop();
    reportTimer.stop();
    unpacker.reset();
    if (socket) {
        QTcpSocket *old = socket;
        socket = nullptr;
        old->disconnect(this);
        connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
        if (old->state() == QAbstractSocket::UnconnectedState)
            old->deleteLater();
    }
    stage = server->isListening() ? Stage::Header : Stage::Idle;
    header.clear();
    if (stage == Stage::Header)
        openWorkFile(headerFileName);
    else
        recvFile.close();
    // A connection that ended before it asked anything is no transfer the user needs to see.
    if (endedIn != Stage::Header)
        emit ended(outcome, reason);
}

// Tells the sender that not everything was stored: a reset, unlike an orderly close.
void ReceiveServer::resetConnection()
{
    if (!socket)
        return;
    socket->disconnect(this); // the close that follows is this side's own
    const qintptr fd = socket->socketDescriptor();
    if (fd != -1) {
        struct linger hard = {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&hard), sizeof hard);
    }
    socket->abort();
}

bool ReceiveServer::openWorkFile(const QString &name)
{
    recvFile.close();
    recvFile.setFileName(name);
    return recvFile.open(QIODevice::WriteOnly | QIODevice::Truncate);
}
