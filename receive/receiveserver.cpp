#include "receive/receiveserver.h"

#include "protocol/formatsize.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "records/hashcache.h"
#include "settings/settingskeys.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <limits>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

const QString headerFileName = QStringLiteral("header");

// One read from the socket, handed to the store and written to the item's file at once.
constexpr qint64 chunkSize = 1024 * 1024;
// What Qt may hold of a transfer's connection. Kept small: Qt reads into memory it allocates
// afresh, which costs a page fault per page, while drainSocket() reads the rest of what has come
// into one buffer used again and again. A slow disk then holds the sender back through the
// system's own socket buffer rather than filling memory.
constexpr qint64 readBufferBytes = 64 * 1024;
constexpr qint64 busyLineIntervalMs = 60000;

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

QString requestText(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul >= 0 ? bytes.left(nul) : bytes);
}

void writeHeaderFile(const QByteArray &bytes)
{
    QFile file(headerFileName);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

// The refusal reply, and the connection closed once it has left.
void refuseSocket(QTcpSocket *incoming)
{
    incoming->write(TransferReply::refusal());
    QObject::connect(incoming, &QTcpSocket::disconnected, incoming, &QObject::deleteLater);
    incoming->disconnectFromHost();
    if (incoming->state() == QAbstractSocket::UnconnectedState)
        incoming->deleteLater();
}

} // namespace

ReceiveServer::ReceiveServer(QObject *parent)
    : QObject(parent), server(new QTcpServer(this)), extendedServer(new QTcpServer(this)),
      idleTimer(this), answerTimer(this), reportTimer(this)
{
    connect(server, &QTcpServer::newConnection, this, [this] { newConnection(server); });
    connect(extendedServer, &QTcpServer::newConnection, this,
            [this] { newConnection(extendedServer); });
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &ReceiveServer::dropIdle);
    answerTimer.setSingleShot(true);
    connect(&answerTimer, &QTimer::timeout, this, &ReceiveServer::answerTimedOut);
    reportTimer.setInterval(reportIntervalMs);
    connect(&reportTimer, &QTimer::timeout, this, &ReceiveServer::report);
    clock.start();
}

ReceiveServer::~ReceiveServer()
{
    close(); // the planner too, which may post to this object
    const std::lock_guard<std::mutex> lock(postedLock); // calls that came too late to run
    posted.clear();
}

void ReceiveServer::post(std::function<void(ReceiveServer *)> call)
{
    // Posted under the lock too, so that nothing of this object is touched from the calling
    // thread after the worker may have taken the call.
    const std::lock_guard<std::mutex> lock(postedLock);
    posted.push_back(std::move(call));
    QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

void ReceiveServer::runPosted()
{
    std::vector<std::function<void(ReceiveServer *)>> calls;
    {
        const std::lock_guard<std::mutex> lock(postedLock);
        calls.swap(posted);
    }
    for (const auto &call : calls)
        call(this);
}

void ReceiveServer::setTimeouts(int idleMs, int answerMs, int quiet)
{
    idleTimeoutMs = idleMs;
    answerTimeoutMs = answerMs;
    quietMs = quiet;
}

bool ReceiveServer::listen(const QString &address, quint16 port, quint64 firstTransfer,
                           quint16 extendedPort)
{
    close();
    transfer = firstTransfer;
    if (!server->listen(QHostAddress(address), port)) {
        qDebug() << "listen" << server->errorString();
        QString error;
        switch (server->serverError()) {
        case QAbstractSocket::AddressInUseError:
            error = tr("端口已被占用，可能已有另一个程序在接收");
            break;
        case QAbstractSocket::SocketAccessError:
            error = tr("没有使用该端口的权限");
            break;
        default:
            error = tr("网络错误");
            break;
        }
        emit listened(firstTransfer, false, error, 0);
        return false;
    }
    if (!extendedServer->listen(QHostAddress(address), extendedPort))
        qDebug() << "listen" << extendedPort << extendedServer->errorString();
    stage = Stage::Header;
    writeHeaderFile(QByteArray());
    partials.clean(QDateTime::currentMSecsSinceEpoch());
    emit listened(firstTransfer, true, QString(),
                  extendedServer->isListening() ? extendedServer->serverPort() : 0);
    emit partialsKept(firstTransfer, partials.entries());
    return true;
}

void ReceiveServer::close()
{
    server->close();
    extendedServer->close();
    const QList<QTcpSocket *> callers = waiting.keys();
    for (QTcpSocket *caller : callers) {
        takeWaiting(caller);
        caller->abort();
        caller->deleteLater();
    }
    if (socket && transferBusy())
        cancelTransfer();
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    idleTimer.stop();
    answerTimer.stop();
    reportTimer.stop();
    stopPlanner();
    extended = nullptr;
    store.reset();
    stage = Stage::Idle;
    stopping = false;
}

void ReceiveServer::newConnection(QTcpServer *from)
{
    while (QTcpSocket *incoming = from->nextPendingConnection()) {
        if (waiting.size() >= maxWaiting) {
            qDebug() << "拒绝"
                     << "等待的连接过多";
            refuseSocket(incoming);
            continue;
        }
        // Qt stops taking bytes from the system once it holds this much: a peer cannot fill
        // memory while its request waits.
        incoming->setReadBufferSize(maxHeaderBytes + maxEarlyBytes + 1);
        Waiting &entry = waiting[incoming];
        entry.extended = from == extendedServer;
        entry.quiet = new QTimer(incoming);
        entry.quiet->setSingleShot(true);
        // A coarse timer may fire a little early; the quiet period is a promise to the sender.
        entry.quiet->setTimerType(Qt::PreciseTimer);
        connect(entry.quiet, &QTimer::timeout, this,
                [this, incoming] { requestArrived(incoming); });
        entry.deadline = new QTimer(incoming);
        entry.deadline->setSingleShot(true);
        connect(entry.deadline, &QTimer::timeout, this,
                [this, incoming] { waitedTooLong(incoming); });
        // A request has the idle time from connecting to arrive whole.
        entry.deadline->start(transferBusy() ? busyWaitMs : idleTimeoutMs);
        connect(incoming, &QTcpSocket::readyRead, this,
                [this, incoming] { readWaiting(incoming); });
        connect(incoming, &QTcpSocket::disconnected, this, [this, incoming] {
            if (waiting.contains(incoming)) {
                takeWaiting(incoming);
                incoming->deleteLater();
            }
        });
        // Bytes that came with the connection are announced by readyRead as usual.
    }
}

void ReceiveServer::readWaiting(QTcpSocket *incoming)
{
    const auto found = waiting.find(incoming);
    if (found == waiting.end())
        return;
    QByteArray &bytes = found->bytes;
    const int searchFrom = qMax(0, bytes.size() - 3);
    bytes += incoming->read(maxHeaderBytes + maxEarlyBytes + 1 - bytes.size());
    const int end = bytes.indexOf("\r\n\r\n", searchFrom);
    if (end >= 0 && end + 4 <= maxHeaderBytes) {
        requestArrived(incoming);
    } else if (bytes.size() > maxHeaderBytes) {
        qDebug() << "拒绝"
                 << "请求头过长";
        takeWaiting(incoming);
        refuseSocket(incoming);
    } else if (!found->extended) {
        // Our own copies always end their requests with the empty line.
        found->quiet->start(quietMs);
    }
}

ReceiveServer::Waiting ReceiveServer::takeWaiting(QTcpSocket *incoming)
{
    const Waiting entry = waiting.take(incoming);
    incoming->disconnect(this);
    if (entry.quiet) {
        entry.quiet->stop();
        entry.quiet->disconnect(this);
        entry.quiet->deleteLater();
    }
    if (entry.deadline) {
        entry.deadline->stop();
        entry.deadline->disconnect(this);
        entry.deadline->deleteLater();
    }
    return entry;
}

// The first whole request is asked about; while it is asked or received, the others are refused.
void ReceiveServer::requestArrived(QTcpSocket *incoming)
{
    if (!waiting.contains(incoming))
        return;
    const Waiting entry = takeWaiting(incoming);
    if (transferBusy() || socket) {
        refuseBusy(incoming, entry.bytes);
        return;
    }
    socket = incoming;
    incoming->setReadBufferSize(readBufferBytes);
    connect(incoming, &QTcpSocket::readyRead, this, &ReceiveServer::readIncoming);
    connect(incoming, &QTcpSocket::disconnected, this, &ReceiveServer::senderClosed);
    question(entry.bytes, entry.extended);
}

void ReceiveServer::waitedTooLong(QTcpSocket *incoming)
{
    if (!waiting.contains(incoming))
        return;
    if (transferBusy()) {
        requestArrived(incoming); // refused with what has arrived
        return;
    }
    qDebug() << "连接超时";
    takeWaiting(incoming);
    incoming->abort();
    incoming->deleteLater();
}

void ReceiveServer::refuseBusy(QTcpSocket *incoming, const QByteArray &bytes)
{
    const QString sender =
        TransferRequest::parseHeader(requestText(bytes)).value(QStringLiteral("sender-name"));
    const QString address = incoming->peerAddress().toString();
    qDebug() << "拒绝"
             << "正在传输" << address;
    refuseSocket(incoming);
    if (sender.isEmpty())
        return;
    const qint64 now = clock.elapsed();
    const auto last = busyLines.constFind(address);
    if (last != busyLines.constEnd() && now - *last < busyLineIntervalMs)
        return;
    // Addresses not heard from within the interval need no memory.
    for (auto it = busyLines.begin(); it != busyLines.end();) {
        if (now - *it >= busyLineIntervalMs)
            it = busyLines.erase(it);
        else
            ++it;
    }
    busyLines.insert(address, now);
    emit busyRefused(transfer, sender, address);
}

void ReceiveServer::question(const QByteArray &bytes, bool extendedRequest)
{
    stage = extendedRequest ? Stage::Manifest : Stage::Asking;
    ++transfer;
    // What follows the request's empty line is the start of the body, pushed before the answer.
    const int end = bytes.indexOf("\r\n\r\n");
    const QByteArray header = end >= 0 ? bytes.left(end + 4) : bytes;
    early = end >= 0 ? bytes.mid(end + 4) : QByteArray();
    writeHeaderFile(header);
    // Those still waiting are refused once their requests are in, which takes no longer than this.
    for (const Waiting &other : qAsConst(waiting)) {
        if (other.deadline->remainingTime() > busyWaitMs)
            other.deadline->start(busyWaitMs);
    }

    const QString text = requestText(header);
    const QMap<QString, QString> fields = TransferRequest::parseHeader(text);
    qint64 size = 0;
    qint64 items = 0;
    if (!parseCount(fields.value(QStringLiteral("Content-Length")), &size) ||
        !parseCount(fields.value(QStringLiteral("Items-Number")), &items) || items < 1 ||
        items > std::numeric_limits<int>::max()) {
        refuseWith(tr("请求无效，拒绝传输！"));
        return;
    }
    if (extendedRequest && !ExtendedProtocol::parseRequestFields(fields, &senderId, &manifestLength,
                                                                 Manifest::byteLimit(items))) {
        refuseWith(tr("请求无效，拒绝传输！"));
        return;
    }
    const auto config = SettingsKeys::openConfig();
    saveDir = SettingsKeys::saveDir(*config);
    // What an extended transfer needs is known once its plan is.
    const QString problem = checkSaveDir(saveDir, extendedRequest ? 0 : spaceNeeded(size, items));
    if (!problem.isEmpty()) {
        refuseWith(problem);
        return;
    }
    // Taken now, so that a change made while the transfer runs cannot mix two rules in it.
    const SettingsKeys::NameClash rule = SettingsKeys::nameClash(*config);

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
    if (rule == SettingsKeys::NameClash::Overwrite && !offer.target.isEmpty() &&
        !offer.target.contains(QLatin1Char('/'))) {
        const QFileInfo existing(saveDir + QLatin1Char('/') + offer.target);
        offer.overwrites = existing.exists() || existing.isSymLink();
    }

    clashRule = rule;
    auto plain =
        std::make_unique<PlainItemStream>(SaveFolder(saveDir, rule, SaveFolder::ownFiles()));
    plain->setRecordLimit(offer.items);
    plain->setDataLimit(offer.size);
    store = std::move(plain);
    progressTotal = offer.size;
    if (extendedRequest)
        idleTimer.start(idleTimeoutMs);
    else
        ask();
    readIncoming(); // bytes beyond the request that Qt held already
}

void ReceiveServer::ask()
{
    stage = Stage::Asking;
    answerTimer.start(answerTimeoutMs);
    emit offered(transfer, offer);
}

// The manifest is parsed and the plan made beside this thread: both grow with the transfer, and
// the plan may read whole files. What comes meanwhile is held as for a question.
void ReceiveServer::manifestArrived()
{
    idleTimer.stop();
    stage = Stage::Planning;
    // A manifest may be large: it is handed over, not copied.
    QByteArray bytes = std::move(early);
    early = bytes.mid(int(manifestLength));
    bytes.truncate(int(manifestLength));
    const SaveFolder folder(saveDir, clashRule, SaveFolder::ownFiles());
    const quint64 id = transfer;
    const qint64 items = offer.items;
    const qint64 size = offer.size;
    const QString sender = senderId;
    std::atomic<bool> *cancelled = &planCancelled;
    planCancelled = false;
    planner.reset(QThread::create([this, bytes, folder, id, items, size, sender, cancelled] {
        QElapsedTimer clock;
        clock.start();
        Manifest parsed;
        ReceivePlanner::Result result;
        const bool valid = Manifest::parse(bytes, &parsed) && parsed.items.size() == items &&
                           parsed.totalSize() == size;
        const qint64 parsing = clock.elapsed();
        if (valid)
            result = ReceivePlanner(folder, parsed, sender, &partials, &HashCache::shared())
                         .plan(cancelled);
        qDebug().noquote() << QStringLiteral("planned %1 items in %2 ms (manifest %3 ms)")
                                  .arg(parsed.items.size())
                                  .arg(clock.elapsed())
                                  .arg(parsing);
        post([=](ReceiveServer *self) { self->planned(id, valid, parsed, result); });
    }));
    planner->setObjectName(QStringLiteral("receive plan"));
    planner->start();
}

void ReceiveServer::planned(quint64 id, bool valid, const Manifest &items,
                            const ReceivePlanner::Result &result)
{
    if (id != transfer || stage != Stage::Planning)
        return;
    stopPlanner();
    if (!valid || result.cancelled) {
        refuseWith(tr("请求无效，拒绝传输！"));
        return;
    }
    manifest = items;
    plan = result.plan;
    const qint64 moving = plan.bytesToSend(manifest);
    const QString problem =
        checkSaveDir(saveDir, spaceNeeded(moving, manifest.items.size() - plan.skippedFiles()));
    if (!problem.isEmpty()) {
        refuseWith(problem);
        return;
    }
    offer.extended = true;
    offer.skippedFiles = plan.skippedFiles();
    offer.skippedBytes = plan.skippedBytes(manifest);
    offer.resumedBytes = offer.size - offer.skippedBytes - moving;
    offer.overwrites = result.replaced.count > 0;
    progressTotal = moving;
    auto parts =
        std::make_unique<ExtendedParts>(SaveFolder(saveDir, clashRule, SaveFolder::ownFiles()),
                                        manifest, result, &partials, senderId);
    parts->setHashCache(&HashCache::shared());
    extended = parts.get();
    store = std::move(parts);
    ask();
}

void ReceiveServer::stopPlanner()
{
    if (!planner)
        return;
    planCancelled = true;
    planner->wait();
    planner.reset();
}

QString ReceiveServer::checkSaveDir(const QString &saveDir, qint64 needed) const
{
    if (!QFileInfo(saveDir).isDir() && !QDir().mkpath(saveDir))
        return tr("保存路径不存在且无法创建：%1，拒绝传输！").arg(saveDir);
    const QFileInfo info(saveDir);
    if (!info.isDir() || !info.isWritable())
        return tr("保存路径不可写：%1，拒绝传输！").arg(saveDir);
    const QStorageInfo storage(saveDir);
    if (storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < needed)
        return tr("保存路径空间不足（需要 %1，可用 %2），拒绝传输！")
            .arg(formatSize(needed), formatSize(storage.bytesAvailable()));
    return QString();
}

void ReceiveServer::readIncoming()
{
    while (socket && !stopping) {
        if (stage == Stage::Manifest && early.size() >= manifestLength) {
            manifestArrived();
            continue;
        }
        const bool held =
            stage == Stage::Manifest || stage == Stage::Planning || stage == Stage::Asking;
        if (held && early.size() > earlyLimit()) {
            qDebug() << "应答前收到过多数据";
            resetConnection();
            finish(Failed, tr("对方在确认前就发送了大量数据，已断开连接！"));
            return;
        }
        if (socket->bytesAvailable() <= 0)
            return;
        switch (stage) {
        case Stage::Manifest:
            idleTimer.start(idleTimeoutMs);
            Q_FALLTHROUGH();
        case Stage::Planning:
        case Stage::Asking:
            early += socket->read(qMin(earlyLimit() + 1 - early.size(), socket->bytesAvailable()));
            break;
        case Stage::Receiving: {
            if (buffer.size() != chunkSize)
                buffer.resize(int(chunkSize));
            const qint64 got = socket->read(buffer.data(), chunkSize);
            if (got <= 0)
                return;
            takeBody(buffer.constData(), got);
            drainSocket();
            break;
        }
        case Stage::Header:
        case Stage::Idle:
            socket->readAll();
            break;
        }
    }
}

// Qt takes what the system holds at each readiness, often a few segments, and a turn of the
// event loop each costs more than the copy: once Qt's buffer is empty, the body is read straight
// from the connection in large pieces until nothing more is there. The end of the connection is
// not taken here; it stays for Qt to see.
void ReceiveServer::drainSocket()
{
#ifdef Q_OS_UNIX
    constexpr int maxPiecesPerTurn = 16; // lets timers and a cancel in between
    for (int piece = 0; piece < maxPiecesPerTurn; ++piece) {
        if (!socket || stage != Stage::Receiving || stopping || socket->bytesAvailable() > 0)
            return;
        const ssize_t got = ::recv(int(socket->socketDescriptor()), buffer.data(),
                                   size_t(buffer.size()), MSG_DONTWAIT);
        if (got <= 0)
            return;
        takeBody(buffer.constData(), got);
    }
#endif
}

void ReceiveServer::takeBody(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    idleTimer.start(idleTimeoutMs);
    if (!store->feed(data, length)) {
        qDebug() << "无法保存，断开连接";
        const bool diskFull = store->diskFull();
        resetConnection();
        finish(Failed, diskFull ? tr("磁盘空间已满，接收不完整！") : QString());
        return;
    }
    if (store->atEnd()) {
        // Everything is stored: ending the connection from this side tells the sender so.
        socket->disconnect(this);
        socket->disconnectFromHost();
        finish(Complete, QString());
    }
}

void ReceiveServer::accept(quint64 id)
{
    if (id != transfer || stage != Stage::Asking || !socket)
        return;
    answerTimer.stop();
    socket->write(extended ? ExtendedProtocol::accept(plan.toBytes()) : TransferReply::accept());
    stage = Stage::Receiving;
    idleTimer.start(idleTimeoutMs);
    reportTimer.start();
    emit progress(transfer, 0, progressTotal);
    const QByteArray pushed = early;
    early.clear();
    takeBody(pushed.constData(), pushed.size());
    if (stage == Stage::Receiving)
        readIncoming();
}

void ReceiveServer::refuse(quint64 id)
{
    if (id == transfer && stage == Stage::Asking && socket)
        refuseTransfer();
}

void ReceiveServer::refuseTransfer()
{
    socket->disconnect(this);
    // A refused transfer is over. Senders may keep their end open, so this end closes once the
    // reply has left.
    refuseSocket(socket);
    finish(Refused, QString());
}

void ReceiveServer::refuseWith(const QString &reason)
{
    qDebug() << "拒绝" << reason;
    if (socket) {
        socket->disconnect(this);
        refuseSocket(socket);
    }
    finish(Failed, reason);
}

void ReceiveServer::cancel(quint64 id)
{
    if (id == transfer && socket)
        cancelTransfer();
}

void ReceiveServer::cancelTransfer()
{
    if (stage == Stage::Manifest || stage == Stage::Planning || stage == Stage::Asking) {
        refuseTransfer();
    } else if (stage == Stage::Receiving) {
        resetConnection();
        endInput();
        finish(Incomplete, tr("已取消接收。"));
    }
}

void ReceiveServer::answerTimedOut()
{
    if (stage != Stage::Asking || !socket)
        return;
    // No reply at all: the sender then tells "no answer" from a refusal.
    socket->disconnect(this);
    socket->disconnectFromHost();
    finish(Unanswered, QString());
}

void ReceiveServer::dropIdle()
{
    if (socket && stage == Stage::Manifest) {
        resetConnection();
        finish(Failed, tr("对方长时间没有发送数据，已断开连接。"));
        return;
    }
    if (!socket || stage != Stage::Receiving)
        return;
    qDebug() << "连接超时";
    resetConnection();
    endInput();
    finish(Incomplete, tr("对方长时间没有发送数据，已断开连接。"));
}

void ReceiveServer::senderClosed()
{
    qDebug() << "客户端断开连接";
    switch (stage) {
    case Stage::Manifest:
    case Stage::Planning:
    case Stage::Asking:
        finish(SenderLeft, QString());
        break;
    case Stage::Receiving:
        readIncoming(); // what arrived together with the close
        if (stage == Stage::Receiving) {
            endInput();
            finish(Incomplete, QString());
        }
        break;
    case Stage::Header:
    case Stage::Idle:
        break;
    }
}

void ReceiveServer::report()
{
    if (!store)
        return;
    const QList<StoredEntry> entries = store->takeEntries();
    if (!entries.isEmpty())
        emit itemsStored(transfer, entries);
    const qint64 total = progressTotal + (extended ? extended->extraBytes() : 0);
    emit progress(transfer, qMin(store->dataBytes(), total), total);
}

// The input ended before the body did.
void ReceiveServer::endInput()
{
    store->finish();
}

void ReceiveServer::finish(Outcome outcome, const QString &reason)
{
    report();
    idleTimer.stop();
    answerTimer.stop();
    reportTimer.stop();
    stopPlanner();
    const bool wasExtended = bool(extended);
    if (wasExtended) {
        extended = nullptr;
        store.reset();
        HashCache::shared().save();
    }
    manifest = Manifest();
    plan = TransferPlan();
    store.reset();
    early.clear();
    if (socket) {
        QTcpSocket *old = socket;
        socket = nullptr;
        old->disconnect(this);
        connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
        if (old->state() == QAbstractSocket::UnconnectedState)
            old->deleteLater();
    }
    stage = server->isListening() ? Stage::Header : Stage::Idle;
    if (stage == Stage::Header)
        writeHeaderFile(QByteArray());
    // Those that came during the transfer may now be asked about; they get the time of any other.
    for (const Waiting &other : qAsConst(waiting))
        other.deadline->start(idleTimeoutMs);
    emit ended(transfer, outcome, reason);
    // What a cut left can be continued from now on; the view lists it under the waiting lines.
    if (wasExtended && !partials.entries().isEmpty())
        emit partialsKept(transfer, partials.entries());
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
