#include "send/tcpsendthread.h"

#include "protocol/hashcache.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/socketwait.h"
#include "send/streamsender.h"
#include "settings/settingskeys.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSettings>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

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

// Reads until `whole` says the reply has all arrived, the peer has closed, or waitMs have passed,
// so that a reply split over several segments is read whole.
QByteArray readReply(QTcpSocket &socket, const QThread &thread,
                     const std::function<bool(const QByteArray &)> &whole)
{
    QByteArray reply;
    QDeadlineTimer deadline(TCPSendThread::waitMs);
    while (!whole(reply)) {
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
    qRegisterMetaType<QList<TCPSendThread::ResumedFile>>("QList<TCPSendThread::ResumedFile>");
}

TCPSendThread::~TCPSendThread()
{
    cancel();
    wait();
}

void TCPSendThread::cancel()
{
    stopping = true;
    receiverChosen = true;
    requestInterruption();
}

void TCPSendThread::setReceiver(const QString &address, const QString &name, Protocol how,
                                quint16 extendedPortOfReceiver)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ip = address;
        senderName = name;
        protocol = how;
        extendedPort = extendedPortOfReceiver;
    }
    receiverChosen = true;
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
    hashFiles(receiverChosen);
    if (!awaitReceiver())
        return Cancelled;

    QTcpSocket socket;
    int outcome = connectExtended(socket);
    const bool extended = outcome == Delivered;
    if (outcome == ConnectFailed) {
        if (packer.largestFileSize() > StreamSender::maxFileSize) {
            error = SendPacker::TooLarge;
            errorItem = packer.largestFileName();
            return ListFailed;
        }
        outcome = connectTo(socket, port, waitMs);
    }
    QVector<qint64> offsets;
    if (outcome == Delivered)
        outcome = extended ? askExtended(socket, &offsets) : ask(socket);
    if (outcome == Delivered) {
        emit accepted(id);
        outcome = sendBody(socket, extended ? &offsets : nullptr);
    }
    if (outcome != Delivered && outcome != Unconfirmed && outcome != NotStored)
        socket.abort();
    if (extended)
        HashCache::shared().save();
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

// Hashes the listed files from where it stopped before. Delivered when all are hashed; Cancelled
// when `stop` was set; SourceFailed when a file could not be read whole as it was listed.
int TCPSendThread::hashFiles(const std::atomic<bool> &stop)
{
    const QList<SendPacker::Item> &items = packer.items();
    if (hashedCount == items.size() && !hashes.isEmpty())
        return Delivered;
    if (hashes.size() != items.size()) {
        hashes.resize(items.size());
        hashed.assign(size_t(items.size()), 0);
    }
    QElapsedTimer clock;
    clock.start();
    // How long hashing took in all, for whoever reads the log.
    const auto account = qScopeGuard([&] {
        hashingMs += clock.elapsed();
        if (hashedCount != items.size())
            return;
        const auto files =
            std::count_if(items.cbegin(), items.cend(),
                          [](const SendPacker::Item &item) { return !item.info.isDir(); });
        qDebug().noquote() << QStringLiteral("hashed %1 files in %2 ms").arg(files).arg(hashingMs);
        // Kept at once: a sender that is closed or killed mid-transfer need not read it all again
        // to resume. Nothing is written when every hash came from the cache.
        HashCache::shared().save();
    });

    // Small files cost the disk's latency more than their reading: several at once hide it.
    // Each item is taken by one reader only; the first that fails stops the others.
    ContentHash::Value *const values = hashes.data(); // detached here, before the readers start
    std::atomic<int> next{0};
    std::atomic<int> failedAt{int(items.size())};
    const auto work = [&] {
        for (int i = next++; i < items.size() && !stop && failedAt == items.size(); i = next++) {
            if (hashed[size_t(i)])
                continue;
            const SendPacker::Item &item = items.at(i);
            if (!item.info.isDir() && !HashCache::shared().hashOf(item.info, &values[i], &stop)) {
                if (stop)
                    return;
                int before = failedAt;
                while (i < before && !failedAt.compare_exchange_weak(before, i)) {
                }
                return;
            }
            hashed[size_t(i)] = 1;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 1; i < hashingReaders; ++i)
        readers.emplace_back(work);
    work();
    for (std::thread &reader : readers)
        reader.join();
    hashedCount = int(std::count(hashed.cbegin(), hashed.cend(), 1));

    if (failedAt < items.size()) {
        const SendPacker::Item &item = items.at(failedAt);
        error = QFileInfo(item.info.absoluteFilePath()).size() == item.info.size()
                    ? StreamSender::SourceUnreadable
                    : StreamSender::SourceChanged;
        errorItem = item.name;
        return SourceFailed;
    }
    return hashedCount == items.size() ? Delivered : Cancelled;
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

// Delivered here and in ask() means "go on to the next stage". Here ConnectFailed means "use the
// plain protocol".
int TCPSendThread::connectExtended(QTcpSocket &socket)
{
    Protocol how;
    quint16 toPort;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        how = protocol;
        toPort = extendedPort;
    }
    if (how == Protocol::Plain)
        return ConnectFailed;
    if (how == Protocol::Probe) {
        const int probed = connectTo(socket, toPort, probeMs);
        if (probed != Delivered || hashedCount == hashes.size()) {
            if (probed != Delivered)
                socket.abort();
            return probed;
        }
        // A receiver drops a connection that stays quiet for long: hash first, connect again.
        socket.abort();
    }
    const int hashed = hashFiles(stopping);
    if (hashed != Delivered)
        return hashed;
    const int outcome = connectTo(socket, toPort, extendedConnectMs);
    if (outcome != Delivered)
        socket.abort();
    return outcome;
}

int TCPSendThread::connectTo(QTcpSocket &socket, quint16 toPort, int boundMs)
{
    QString address;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        address = ip;
    }
    socket.connectToHost(address, toPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    const QDeadlineTimer deadline(boundMs);
    while (socket.state() != QAbstractSocket::ConnectedState) {
        if (isInterruptionRequested())
            return Cancelled;
        if (socket.state() == QAbstractSocket::UnconnectedState || deadline.hasExpired()) {
            qDebug() << "连接失败" << toPort << socket.errorString();
            return ConnectFailed;
        }
        socket.waitForConnected(int(std::min<qint64>(sliceMs, deadline.remainingTime())));
    }
    return Delivered;
}

TransferRequest TCPSendThread::plainRequest()
{
    TransferRequest request;
    request.target = packer.fileName();
    request.kind = packer.fileType();
    request.filesNumber = packer.filesNumber();
    request.itemsNumber = packer.itemsNumber();
    request.contentLength = packer.totalSize();
    const std::lock_guard<std::mutex> lock(mutex);
    request.senderName = senderName;
    return request;
}

int TCPSendThread::ask(QTcpSocket &socket)
{
    const QByteArray bytes = plainRequest().toUtf8();
    if (socket.write(bytes) != bytes.size() || !pushOut(socket, *this)) {
        qDebug() << "发送中断" << socket.errorString();
        return isInterruptionRequested() ? Cancelled : SendBroken;
    }
    const QByteArray reply = readReply(socket, *this, [](const QByteArray &bytes) {
        return bytes.contains("\r\n\r\n") || bytes.size() >= maxReplySize;
    });
    if (isInterruptionRequested())
        return Cancelled;
    if (!TransferReply::isAccepted(reply)) {
        qDebug() << "拒绝";
        return reply.isEmpty() ? Unanswered : Refused;
    }
    return Delivered;
}

int TCPSendThread::askExtended(QTcpSocket &socket, QVector<qint64> *offsets)
{
    const QList<SendPacker::Item> &items = packer.items();
    Manifest manifest;
    for (int i = 0; i < items.size(); ++i) {
        const bool isFile = !items.at(i).info.isDir();
        manifest.items << Manifest::Item{
            items.at(i).name, isFile, isFile ? items.at(i).info.size() : 0, 0, true, hashes.at(i)};
    }
    const QByteArray bytes = ExtendedProtocol::request(
        plainRequest(), SettingsKeys::senderId(*SettingsKeys::openConfig()), manifest.toBytes());
    if (socket.write(bytes) != bytes.size() || !pushOut(socket, *this)) {
        qDebug() << "发送中断" << socket.errorString();
        return isInterruptionRequested() ? Cancelled : SendBroken;
    }
    ExtendedProtocol::Message answer;
    int taken = 0;
    readReply(socket, *this, [&](const QByteArray &reply) {
        for (;;) {
            const int length =
                ExtendedProtocol::takeMessage(reply.mid(taken), manifest.items.size(), &answer);
            if (length <= 0)
                return length < 0;
            taken += length;
            if (answer.kind == ExtendedProtocol::Message::Accepted ||
                answer.kind == ExtendedProtocol::Message::Refused)
                return true;
        }
    });
    if (isInterruptionRequested())
        return Cancelled;
    if (taken == 0)
        return Unanswered;
    TransferPlan plan;
    if (answer.kind != ExtendedProtocol::Message::Accepted ||
        !TransferPlan::parse(answer.plan, manifest, &plan)) {
        qDebug() << "拒绝";
        return Refused;
    }
    QList<ResumedFile> resumed;
    const int outcome = partOffsets(manifest, plan, offsets, &resumed);
    if (outcome == Delivered)
        emit planned(id, plan.skippedFiles(), plan.skippedBytes(manifest), resumed,
                     StreamSender::partsSize(items, *offsets));
    return outcome;
}

// Where each file's part begins: -1 for folders and the files the receiver has; a resumed file
// from the plan's offset when our own first bytes are the ones the receiver has, else from 0,
// which makes the receiver start it anew.
int TCPSendThread::partOffsets(const Manifest &manifest, const TransferPlan &plan,
                               QVector<qint64> *offsets, QList<ResumedFile> *resumed)
{
    offsets->fill(-1, manifest.items.size());
    for (int i = 0; i < manifest.items.size(); ++i) {
        const TransferPlan::Step &step = plan.steps.at(i);
        if (!manifest.items.at(i).isFile || step.action == TransferPlan::Skip)
            continue;
        (*offsets)[i] = 0;
        if (step.action != TransferPlan::Resume)
            continue;
        (*offsets)[i] = step.offset;
        *resumed << ResumedFile{manifest.items.at(i).name, step.offset};
    }
    return Delivered;
}

int TCPSendThread::sendBody(QTcpSocket &socket, const QVector<qint64> *offsets)
{
    const qint64 total =
        offsets ? StreamSender::partsSize(packer.items(), *offsets) : packer.bodySize();
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
    if (!(offsets ? sender.sendParts(packer.items(), *offsets, hashes)
                  : sender.send(packer.items()))) {
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
