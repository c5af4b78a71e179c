#include "send/tcpsendthread.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/socketwait.h"
#include "send/streamsender.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <chrono>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

// Every wait runs in short slices so that a cancel or the view going away ends it soon.
constexpr int sliceMs = 100;
// A reply is a few short lines; anything longer is not one of ours.
constexpr int maxReplySize = 64 * 1024;

bool isConnected(const QTcpSocket &socket)
{
    return socket.state() == QAbstractSocket::ConnectedState;
}

// Hands the request to the system; false when the connection broke, nothing moved for waitMs,
// or the thread was interrupted. Qt is not asked to wait here: its waits also read, and would
// take the receiver's answer before readReply() looks for it.
bool pushOut(QTcpSocket &socket, const QThread &thread)
{
    QDeadlineTimer stall(TCPSendThread::waitMs);
    socket.flush();
    while (socket.bytesToWrite() > 0) {
        const qint64 before = socket.bytesToWrite();
        socket.flush();
        if (thread.isInterruptionRequested() || !isConnected(socket))
            return false;
        if (socket.bytesToWrite() < before)
            stall.setRemainingTime(TCPSendThread::waitMs);
        else if (stall.hasExpired())
            return false;
        else if (socket.bytesToWrite() > 0)
            SocketWait::writable(socket.socketDescriptor(), sliceMs);
    }
    return isConnected(socket);
}

// Reads until the reply's empty line has arrived, the peer has closed, or waitMs have passed, so
// that a reply split over several segments is read whole.
QByteArray readReply(QTcpSocket &socket, const QThread &thread)
{
    QByteArray reply;
    QDeadlineTimer deadline(TCPSendThread::waitMs);
    while (!reply.contains("\r\n\r\n") && reply.size() < maxReplySize) {
        if (socket.bytesAvailable() > 0) {
            reply += socket.readAll();
            continue;
        }
        if (thread.isInterruptionRequested() || !isConnected(socket) || deadline.hasExpired())
            break;
        socket.waitForReadyRead(int(std::min<qint64>(sliceMs, deadline.remainingTime())));
    }
    return reply;
}

// Tells the receiver that the body is not whole: a reset, unlike the orderly close that follows a
// whole body, makes it drop the item it was storing.
void resetConnection(QTcpSocket &socket)
{
    const qintptr fd = socket.socketDescriptor();
    if (fd != -1) {
        struct linger hard = {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&hard), sizeof hard);
    }
    socket.abort();
}

} // namespace

TCPSendThread::TCPSendThread(int transfer, const QStringList &paths)
    : id(transfer), paths(paths), port(TransferRequest::port)
{
    qRegisterMetaType<SendPacker>();
}

TCPSendThread::~TCPSendThread()
{
    cancel();
    wait();
}

void TCPSendThread::cancel()
{
    stopping = true;
    requestInterruption();
}

void TCPSendThread::setReceiver(const QString &address, const QString &name)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ip = address;
        senderName = name;
    }
    receiverSet.notify_all();
}

void TCPSendThread::run()
{
    const int outcome = runStages();
    emit sendEnded(id, outcome, error, errorItem);
}

int TCPSendThread::runStages()
{
    if (!list())
        return isInterruptionRequested() ? Cancelled : ListFailed;
    emit listed(id, packer);
    if (!awaitReceiver())
        return Cancelled;

    QTcpSocket socket;
    int outcome = connectTo(socket);
    if (outcome == Delivered)
        outcome = ask(socket);
    if (outcome == Delivered) {
        emit accepted(id);
        outcome = sendBody(socket);
    }
    if (outcome != Delivered && outcome != Unconfirmed && outcome != NotStored)
        socket.abort();
    return outcome;
}

bool TCPSendThread::list()
{
    if (packer.collect(paths, &stopping))
        return !isInterruptionRequested();
    error = packer.error();
    errorItem = packer.failedItem();
    return false;
}

bool TCPSendThread::awaitReceiver()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (ip.isEmpty()) {
        if (isInterruptionRequested())
            return false;
        receiverSet.wait_for(lock, std::chrono::milliseconds(sliceMs));
    }
    return !isInterruptionRequested();
}

// Delivered here and in ask() means "go on to the next stage".
int TCPSendThread::connectTo(QTcpSocket &socket)
{
    QString address;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        address = ip;
    }
    socket.connectToHost(address, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    const QDeadlineTimer deadline(waitMs);
    while (socket.state() != QAbstractSocket::ConnectedState) {
        if (isInterruptionRequested())
            return Cancelled;
        if (socket.state() == QAbstractSocket::UnconnectedState || deadline.hasExpired()) {
            qDebug() << "连接失败" << socket.errorString();
            return ConnectFailed;
        }
        socket.waitForConnected(sliceMs);
    }
    return Delivered;
}

int TCPSendThread::ask(QTcpSocket &socket)
{
    TransferRequest request;
    request.target = packer.fileName();
    request.kind = packer.fileType();
    request.filesNumber = packer.filesNumber();
    request.itemsNumber = packer.itemsNumber();
    request.contentLength = packer.totalSize();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        request.senderName = senderName;
    }
    const QByteArray bytes = request.toUtf8();
    if (socket.write(bytes) != bytes.size() || !pushOut(socket, *this)) {
        qDebug() << "发送中断" << socket.errorString();
        return isInterruptionRequested() ? Cancelled : SendBroken;
    }
    const QByteArray reply = readReply(socket, *this);
    if (isInterruptionRequested())
        return Cancelled;
    if (!TransferReply::isAccepted(reply)) {
        qDebug() << "拒绝";
        return reply.isEmpty() ? Unanswered : Refused;
    }
    return Delivered;
}

int TCPSendThread::sendBody(QTcpSocket &socket)
{
    const qint64 total = packer.bodySize();
    StreamSender sender(socket.socketDescriptor());
    sender.setStallTimeout(waitMs);
    sender.setCancelFlag(&stopping);
    QElapsedTimer sinceReport;
    sinceReport.start();
    sender.setSentCallback([&](qint64 sent) {
        if (sinceReport.elapsed() >= reportIntervalMs) {
            sinceReport.restart();
            emit updateProgress(id, sent, total);
        }
    });
    QElapsedTimer bodyTime;
    bodyTime.start();
    if (!sender.send(packer.items())) {
        switch (sender.error()) {
        case StreamSender::SourceChanged:
        case StreamSender::SourceUnreadable:
            qDebug() << "发送中断：源文件" << sender.failedItem();
            error = sender.error();
            errorItem = sender.failedItem();
            resetConnection(socket);
            return SourceFailed;
        case StreamSender::Cancelled:
            resetConnection(socket);
            return Cancelled;
        default:
            qDebug() << "发送中断" << sender.error();
            resetConnection(socket);
            return isInterruptionRequested() ? Cancelled : SendBroken;
        }
    }
    emit updateProgress(id, sender.sent(), total);
    const double bytesPerMs =
        double(sender.sent()) / double(std::max<qint64>(bodyTime.elapsed(), 1));
    return awaitConfirmation(socket, bytesPerMs);
}

// The receiver ends the connection once it has stored everything. One that waits for the
// sender's end instead still gets every byte: give up only when the bytes in flight have had
// their time at the rate seen and the slack has passed without a word.
int TCPSendThread::awaitConfirmation(QTcpSocket &socket, double bytesPerMs)
{
    const qintptr fd = socket.socketDescriptor();
    QDeadlineTimer deadline(confirmSlackMs);
    qint64 inFlight = SocketWait::unacknowledged(fd);
    for (;;) {
        if (isInterruptionRequested()) {
            resetConnection(socket);
            return Cancelled;
        }
        const SocketWait::PeerEnd end = SocketWait::peerEnd(fd, sliceMs);
        if (end == SocketWait::Closed) {
            socket.abort();
            qDebug() << "发送完成！";
            return Delivered;
        }
        if (end == SocketWait::Reset) {
            socket.abort();
            qDebug() << "对方未能保存全部文件";
            return NotStored;
        }
        const qint64 now = SocketWait::unacknowledged(fd);
        if (now < inFlight)
            deadline.setRemainingTime(confirmSlackMs + qint64(now / std::max(bytesPerMs, 1.0)));
        inFlight = now;
        if (deadline.hasExpired())
            break;
    }
    // Our end closes after what is still queued, which is the end a waiting receiver needs.
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(confirmSlackMs);
    qDebug() << "发送完成，未获确认";
    return Unconfirmed;
}
