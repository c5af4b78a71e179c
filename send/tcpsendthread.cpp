#include "send/tcpsendthread.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/packprogress.h"
#include "send/socketwait.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>

#include <algorithm>
#include <memory>

namespace {

// Every wait runs in short slices so that a cancel or the view going away ends it soon.
constexpr int sliceMs = 100;
// A reply is a few short lines; anything longer is not one of ours.
constexpr int maxReplySize = 64 * 1024;
constexpr qint64 pieceSize = 256 * 1024;
// The socket may hold this much before the loop waits: enough to keep a fast link busy, small
// enough that memory stays flat.
constexpr qint64 maxBuffered = 512 * 1024;

bool isConnected(const QTcpSocket &socket)
{
    return socket.state() == QAbstractSocket::ConnectedState;
}

// Hands what the socket holds to the system until at most `keep` bytes wait; false when the
// connection broke, nothing moved for waitMs, or the thread was interrupted. Qt is not asked to
// wait here: its waits also read, and would take the receiver's end before it can be told apart.
bool pushOut(QTcpSocket &socket, const QThread &thread, qint64 keep)
{
    QDeadlineTimer stall(TCPSendThread::waitMs);
    socket.flush(); // whatever the system takes now goes now, however little is left
    while (socket.bytesToWrite() > keep) {
        const qint64 before = socket.bytesToWrite();
        socket.flush();
        if (thread.isInterruptionRequested() || !isConnected(socket))
            return false;
        if (socket.bytesToWrite() < before)
            stall.setRemainingTime(TCPSendThread::waitMs);
        else if (stall.hasExpired())
            return false;
        else if (socket.bytesToWrite() > keep)
            SocketWait::writable(socket.socketDescriptor(), sliceMs);
    }
    return isConnected(socket);
}

// Reads until the reply's empty line has arrived, the peer has closed, or waitMs have passed, so
// that a reply split over several segments is read whole.
QByteArray readReply(QTcpSocket &socket, const QThread &thread, bool *timedOut)
{
    QByteArray reply;
    QDeadlineTimer deadline(TCPSendThread::waitMs);
    *timedOut = false;
    while (!reply.contains("\r\n\r\n") && reply.size() < maxReplySize) {
        if (socket.bytesAvailable() > 0) {
            reply += socket.readAll();
            continue;
        }
        if (thread.isInterruptionRequested() || !isConnected(socket))
            break;
        if (deadline.hasExpired()) {
            *timedOut = true;
            break;
        }
        socket.waitForReadyRead(int(std::min<qint64>(sliceMs, deadline.remainingTime())));
    }
    return reply;
}

} // namespace

TCPSendThread::TCPSendThread() : port(TransferRequest::port) {}

TCPSendThread::~TCPSendThread()
{
    requestInterruption();
    wait();
}

void TCPSendThread::setIp(const QString &ip)
{
    this->ip = ip;
}

void TCPSendThread::setHeader(const QString &header)
{
    this->header = header;
}

void TCPSendThread::setPort(quint16 port)
{
    this->port = port;
}

void TCPSendThread::setBody(std::shared_ptr<PackProgress> shared, qint64 size)
{
    progress = std::move(shared);
    bodySize = size;
}

void TCPSendThread::run()
{
    emit sendEnded(send());
}

int TCPSendThread::send()
{
    const auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(ip, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    QDeadlineTimer connectDeadline(waitMs);
    while (socket->state() != QAbstractSocket::ConnectedState) {
        if (isInterruptionRequested())
            return Cancelled;
        if (socket->state() == QAbstractSocket::UnconnectedState || connectDeadline.hasExpired()) {
            qDebug() << "连接失败" << socket->errorString();
            return ConnectFailed;
        }
        socket->waitForConnected(sliceMs);
    }

    const QByteArray request = header.toUtf8();
    if (socket->write(request) != request.size() || !pushOut(*socket, *this, 0)) {
        qDebug() << "发送中断" << socket->errorString();
        socket->abort();
        return isInterruptionRequested() ? Cancelled : SendBroken;
    }

    bool timedOut = false;
    const QByteArray reply = readReply(*socket, *this, &timedOut);
    if (isInterruptionRequested()) {
        socket->abort();
        return Cancelled;
    }
    if (!TransferReply::isAccepted(reply)) {
        qDebug() << "拒绝";
        socket->abort();
        return reply.isEmpty() ? Unanswered : Refused;
    }

    // Unbuffered: a read-ahead would take bytes past the packed end, not yet written whole.
    QFile file(QStringLiteral("send"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !progress) {
        qDebug() << "发送中断" << file.errorString();
        socket->abort();
        return SendBroken;
    }

    QElapsedTimer sinceReport;
    sinceReport.start();
    QElapsedTimer bodyTime;
    bodyTime.start();
    qint64 sent = 0;
    while (sent < bodySize) {
        PackProgress::State state = PackProgress::Packing;
        const qint64 written = std::min(progress->waitBeyond(sent, sliceMs, &state), bodySize);
        if (isInterruptionRequested()) {
            socket->abort();
            return Cancelled;
        }
        if (state == PackProgress::Failed || (state == PackProgress::Packed && written <= sent)) {
            qDebug() << "发送中断：打包失败";
            socket->abort();
            return PackFailed;
        }
        while (sent < written) {
            const QByteArray piece = file.read(std::min(pieceSize, written - sent));
            // A short read means the work file shrank or failed: the body would be cut short.
            if (piece.isEmpty() || socket->write(piece) != piece.size() ||
                !pushOut(*socket, *this, maxBuffered)) {
                qDebug() << "发送中断" << socket->errorString() << file.errorString();
                socket->abort();
                return isInterruptionRequested() ? Cancelled : SendBroken;
            }
            sent += piece.size();
            if (sinceReport.elapsed() >= reportIntervalMs) {
                sinceReport.restart();
                emit updateProgress(sent, bodySize);
            }
        }
    }
    if (!pushOut(*socket, *this, 0)) {
        qDebug() << "发送中断" << socket->errorString();
        socket->abort();
        return isInterruptionRequested() ? Cancelled : SendBroken;
    }
    emit updateProgress(sent, bodySize);

    // The receiver ends the connection once it has stored everything. One that waits for the
    // sender's end instead still gets every byte: give up only when the bytes in flight have
    // had their time at the rate seen and the slack has passed without a word.
    const qintptr fd = socket->socketDescriptor();
    const double bytesPerMs = double(sent) / double(std::max<qint64>(bodyTime.elapsed(), 1));
    QDeadlineTimer deadline(confirmSlackMs);
    qint64 inFlight = SocketWait::unacknowledged(fd);
    for (;;) {
        if (isInterruptionRequested()) {
            socket->abort();
            return Cancelled;
        }
        const SocketWait::PeerEnd end = SocketWait::peerEnd(fd, sliceMs);
        if (end == SocketWait::Closed) {
            socket->abort();
            qDebug() << "发送完成！";
            return Delivered;
        }
        if (end == SocketWait::Reset) {
            socket->abort();
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
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(confirmSlackMs);
    qDebug() << "发送完成，未获确认";
    return Unconfirmed;
}
