#include "send/tcpsendthread.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QTcpSocket>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// Blocking waits run in short slices so that an interruption (the view going away) ends a
// stalled send soon instead of after the full timeout.
constexpr int sliceMs = 100;
// A reply is a few short lines; anything longer is not one of ours.
constexpr int maxReplySize = 64 * 1024;
// Pieces are handed to the socket one by one, but waiting for the system to take each 1024 bytes
// costs a round of system calls per piece and kept a 1 Gbit/s link half idle. The socket may
// hold this much before the loop waits; memory stays bounded, and a broken connection still
// shows within one buffer's worth of pieces.
constexpr qint64 maxBuffered = 256 * 1024;

bool isConnected(const QTcpSocket &socket)
{
    return socket.state() == QAbstractSocket::ConnectedState;
}

// The share of the file sent so far. Above 2^24 bytes the single-precision quotient can round
// to 1 before the last piece; only the last report may be 1, since the view takes it as success.
float fraction(qint64 sent, qint64 size)
{
    const float value = float(sent) / float(size);
    return std::min(value, std::nextafter(1.0f, 0.0f));
}

} // namespace

TCPSendThread::TCPSendThread() : port(TransferRequest::port)
{
    // Runs queued in the user-interface thread, next to the view's own slot: counts the
    // reports that have been delivered.
    connect(this, &TCPSendThread::updateProgress, this, [this] { --pendingReports; });
}

TCPSendThread::~TCPSendThread()
{
    requestInterruption();
    wait();
    // QThread's own hand-over is invisible to ThreadSanitizer with a distribution Qt; this
    // acquire pairs with the increments at the end of every run().
    runsEnded.load(std::memory_order_acquire);
}

// One report per piece while the user interface keeps up. When it falls behind, a report is
// dropped rather than queued: a later one supersedes it, and the queue of a multi-gigabyte send
// would otherwise grow by millions of events. The last report, 1, is never dropped.
void TCPSendThread::report(float fraction)
{
    if (fraction < 1.0f && pendingReports.load() >= maxPendingReports)
        return;
    ++pendingReports;
    emit updateProgress(fraction);
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

// Writes out what the socket holds until at most `keep` bytes wait in its buffer; false when the
// connection broke, nothing moved for waitMs, or the thread was interrupted.
static bool flush(QTcpSocket &socket, const QThread &thread, qint64 keep = 0)
{
    QDeadlineTimer stall(TCPSendThread::waitMs);
    while (socket.bytesToWrite() > keep) {
        if (thread.isInterruptionRequested() || !isConnected(socket))
            return false;
        if (socket.waitForBytesWritten(sliceMs))
            stall.setRemainingTime(TCPSendThread::waitMs);
        else if (stall.hasExpired())
            return false;
    }
    return isConnected(socket);
}

// Reads until the reply's empty line has arrived, the peer has closed, or waitMs have passed, so
// that a reply split over several segments is read whole.
static QByteArray readReply(QTcpSocket &socket, const QThread &thread)
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

// Ends the connection after the last byte, so that the receiver sees the end of the transfer.
static bool closeConnection(QTcpSocket &socket, const QThread &thread)
{
    if (!flush(socket, thread)) {
        socket.abort();
        return false;
    }
    socket.readAll(); // nothing more is expected; what came is dropped
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState &&
        !socket.waitForDisconnected(TCPSendThread::waitMs)) {
        socket.abort();
        return false;
    }
    return true;
}

void TCPSendThread::run()
{
    struct EndMark
    {
        std::atomic<int> &ended;
        ~EndMark() { ended.fetch_add(1, std::memory_order_acq_rel); }
    } endMark{runsEnded};

    const auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(ip, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    if (!socket->waitForConnected(waitMs)) {
        qDebug() << "连接失败" << socket->errorString();
        emit sendFailed(ConnectFailed);
        return;
    }

    const QByteArray request = header.toUtf8();
    if (socket->write(request) != request.size() || !flush(*socket, *this)) {
        qDebug() << "发送中断" << socket->errorString();
        socket->abort();
        emit sendFailed(SendBroken);
        return;
    }

    if (!TransferReply::isAccepted(readReply(*socket, *this))) {
        qDebug() << "拒绝";
        closeConnection(*socket, *this);
        emit sendFailed(Refused);
        return;
    }

    QFile file(QStringLiteral("send"));
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "发送中断" << file.errorString();
        socket->abort();
        emit sendFailed(SendBroken);
        return;
    }
    const qint64 size = file.size();
    sentFileSize = size;

    qint64 sent = 0;
    while (sent < size) {
        const QByteArray piece = file.read(std::min(pieceSize, size - sent));
        // A short read means the work file shrank or failed: the body would be cut short.
        if (piece.isEmpty() || socket->write(piece) != piece.size() ||
            !flush(*socket, *this, maxBuffered)) {
            qDebug() << "发送中断" << socket->errorString() << file.errorString();
            socket->abort();
            emit sendFailed(SendBroken);
            return;
        }
        socket->readAll(); // keep the read buffer from growing should the peer talk
        sent += piece.size();
        if (sent < size)
            report(fraction(sent, size));
    }
    file.close();

    if (!closeConnection(*socket, *this)) {
        qDebug() << "发送中断" << socket->errorString();
        emit sendFailed(SendBroken);
        return;
    }
    qDebug() << "发送完成！";
    report(1.0f);
}
