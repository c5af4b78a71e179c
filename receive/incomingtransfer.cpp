#include "receive/incomingtransfer.h"

#include "protocol/decimal.h"
#include "protocol/extendedprotocol.h"
#include "protocol/formatsize.h"
#include "protocol/socketreset.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "receive/extendedparts.h"
#include "receive/plainitemstream.h"
#include "records/hashcache.h"
#include "records/knowndevices.h"
#include "security/identity.h"
#include "security/tlsrelay.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStorageInfo>
#include <QTcpSocket>

#include <limits>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

// One read from the socket, handed to the store and written at once.
constexpr qint64 chunkSize = 1024 * 1024;
// What Qt may hold of a connection. Kept small: a peer cannot fill memory before it is asked
// about, and while storing, drainSocket() reads the rest into one buffer used again and again, so
// that a slow disk holds the sender back through the system's own socket buffer.
constexpr qint64 readBufferBytes = 64 * 1024;

QString requestText(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul >= 0 ? bytes.left(nul) : bytes);
}

void writeHeaderFile(const QByteArray &bytes)
{
    QFile file(QStringLiteral("header"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

QString checkSaveDir(const QString &saveDir, qint64 needed)
{
    if (saveDir.isEmpty() || (!QFileInfo(saveDir).isDir() && !QDir().mkpath(saveDir)))
        return IncomingTransfer::tr("保存路径不存在且无法创建：%1，拒绝传输！").arg(saveDir);
    const QFileInfo info(saveDir);
    if (!info.isDir() || !info.isWritable())
        return IncomingTransfer::tr("保存路径不可写：%1，拒绝传输！").arg(saveDir);
    const QStorageInfo storage(saveDir);
    if (storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < needed)
        return IncomingTransfer::tr("保存路径空间不足（需要 %1，可用 %2），拒绝传输！")
            .arg(formatSize(needed), formatSize(storage.bytesAvailable()));
    return QString();
}

} // namespace

IncomingTransfer::IncomingTransfer(QTcpSocket *socket, bool extended, int requestMs,
                                   PlanPool *planners, QObject *parent)
    : QObject(parent), socket(socket), extended(extended), planners(planners), requestMs(requestMs)
{
    connected.start();
    socket->setParent(this);
    socket->setReadBufferSize(readBufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, &IncomingTransfer::readSocket);
    connect(socket, &QTcpSocket::disconnected, this, &IncomingTransfer::senderClosed);
    for (QTimer *timer : {&deadline, &quiet, &answerTimer, &idleTimer, &lingerTimer})
        timer->setSingleShot(true);
    // A coarse timer may fire a little early; the quiet period is a promise to the sender.
    quiet.setTimerType(Qt::PreciseTimer);
    connect(&deadline, &QTimer::timeout, this, &IncomingTransfer::requestTimedOut);
    connect(&quiet, &QTimer::timeout, this, &IncomingTransfer::requestIn);
    connect(&answerTimer, &QTimer::timeout, this, &IncomingTransfer::answerTimedOut);
    connect(&idleTimer, &QTimer::timeout, this, &IncomingTransfer::idleTimedOut);
    connect(&signTimer, &QTimer::timeout, this, [this] {
        this->socket->write(
            ExtendedProtocol::planning(ticket ? ticket->done.load() : 0, offer.items));
    });
    reportTimer.setInterval(reportIntervalMs);
    connect(&reportTimer, &QTimer::timeout, this, &IncomingTransfer::report);
    connect(&lingerTimer, &QTimer::timeout, this, [this] {
        SocketReset::reset(this->socket);
        gone();
    });
    deadline.start(requestMs);
}

IncomingTransfer::~IncomingTransfer()
{
    if (ticket)
        ticket->withdraw();
}

QString IncomingTransfer::senderName() const
{
    return TransferRequest::parseHeader(requestText(header)).value(QStringLiteral("sender-name"));
}

QString IncomingTransfer::peerAddress() const
{
    return relay ? relayedFrom : socket->peerAddress().toString();
}

void IncomingTransfer::setRelay(std::shared_ptr<TlsRelay> tls, const QString &address)
{
    relay = std::move(tls);
    relayedFrom = address;
}

void IncomingTransfer::readSocket()
{
    if (ready) {
        holdEarly();
        return;
    }
    switch (current) {
    case Stage::Request:
        readRequest();
        break;
    case Stage::Manifest:
        readManifest();
        break;
    case Stage::Pairing:
        readPairing();
        break;
    case Stage::Plan:
        if (hashesTaken < hashesDue.size())
            readHashes();
        else
            holdEarly();
        break;
    case Stage::Question:
        holdEarly();
        break;
    case Stage::Store:
        readBody();
        break;
    case Stage::End:
        // Read and dropped, so that a sender still writing reaches its close.
        while (socket->bytesAvailable() > 0 && socket->read(readBufferBytes).size() > 0) {
        }
        break;
    }
}

void IncomingTransfer::readRequest()
{
    const int searchFrom = qMax(0, header.size() - 3);
    header += socket->read(maxHeaderBytes + 1 - header.size());
    const int end = header.indexOf("\r\n\r\n", searchFrom);
    if (end >= 0 && end + 4 <= maxHeaderBytes) {
        early = header.mid(end + 4);
        header.truncate(end + 4);
        requestIn();
    } else if (header.size() > maxHeaderBytes) {
        drop("请求头过长");
    } else if (!extended) {
        // Our own copies always end their requests with the empty line.
        quiet.start(settings.quietMs);
    }
}

void IncomingTransfer::requestIn()
{
    if (current != Stage::Request)
        return;
    quiet.stop();
    if (!extended) {
        becomeReady();
        return;
    }
    const QMap<QString, QString> fields = TransferRequest::parseHeader(requestText(header));
    qint64 items = 0;
    Decimal::parse(fields.value(QStringLiteral("Items-Number")), &items, Manifest::maxItems);
    // Judged before anything of the manifest is held: a peer gets memory only in proportion to
    // what it offers.
    if (!ExtendedProtocol::parseRequestFields(fields, &senderId, &manifestLength,
                                              Manifest::byteLimit(items))) {
        qDebug() << "拒绝"
                 << "清单过大或请求无效" << peerAddress();
        closeAfterReply(ExtendedProtocol::refuse(tr("请求无效，拒绝传输！")));
        return;
    }
    if (!senderProved())
        return;
    if (!ExtendedProtocol::parsePairingFields(fields, &commitment, &knownReceiver)) {
        closeAfterReply(ExtendedProtocol::refuse(tr("请求无效，拒绝传输！")));
        return;
    }
    current = Stage::Manifest;
    manifestBytes = std::move(early);
    early = QByteArray();
    readManifest();
}

// The id a request names its sender by is the certificate the session proved: a request may not
// borrow another sender's kept partial files or, later, its pairing.
bool IncomingTransfer::senderProved()
{
    offer.peer = relay ? relay->peerFingerprint() : Fingerprint();
    if (!offer.peer.isNull() && senderId == offer.peer.hex())
        return true;
    qDebug() << "拒绝"
             << "发送方标识与其证书不符" << peerAddress();
    closeAfterReply(ExtendedProtocol::refuse(tr("发送方标识与其证书不符，拒绝传输！")));
    return false;
}

void IncomingTransfer::readManifest()
{
    if (manifestBytes.size() < manifestLength)
        manifestBytes += socket->read(manifestLength - manifestBytes.size());
    if (manifestBytes.size() > manifestLength) {
        early = manifestBytes.mid(int(manifestLength));
        manifestBytes.truncate(int(manifestLength));
    }
    if (manifestBytes.size() == manifestLength)
        becomeReady();
}

void IncomingTransfer::becomeReady()
{
    // The receiver's own time to plan and ask does not count against the sender.
    deadline.stop();
    ready = true;
    if (holdEarly())
        emit arrived();
}

// Bytes that come before the answer, up to a small limit; false once that was passed.
bool IncomingTransfer::holdEarly()
{
    while (socket->bytesAvailable() > 0 || early.size() > maxEarlyBytes) {
        if (early.size() > maxEarlyBytes) {
            if (transfer == 0) {
                drop("应答前收到过多数据");
            } else {
                finish(ReceiveOutcome::Failed, tr("对方在确认前就发送了大量数据，已断开连接！"));
                SocketReset::reset(socket);
                gone();
            }
            return false;
        }
        early += socket->read(maxEarlyBytes + 1 - early.size());
    }
    return true;
}

void IncomingTransfer::start(quint64 id, const ReceiveSettings &taken, const QStringList &ownFiles,
                             PartialRegistry *kept)
{
    transfer = id;
    ready = false;
    // Taken now, so that a change made while the transfer runs cannot mix two rules in it.
    settings = taken;
    partials = kept;
    folder.emplace(settings.saveDir, settings.nameClash, ownFiles);
    if (!extended)
        writeHeaderFile(header);
    if (!judge())
        return;
    if (extended)
        meet();
    else
        ask();
}

// A sender not met before, or one that does not know us, pairs first: both screens show the
// same code only where no machine sits between them. One that shows an unknown certificate under
// a paired device's name or address is turned away.
void IncomingTransfer::meet()
{
    const KnownDevices devices;
    const bool known = devices.find(offer.peer).has_value();
    if (!known && devices.otherClaim(offer.peer, offer.sender, peerAddress())) {
        refuseWith(tr("「%1」的身份与上次不同，已拒绝接收").arg(offer.sender));
        return;
    }
    if (known && knownReceiver == Identity::shared().fingerprint().hex()) {
        plan();
        return;
    }
    current = Stage::Pairing;
    ownNonce = PairingCode::newNonce();
    answers = std::move(early);
    early = QByteArray();
    socket->write(ExtendedProtocol::receiverNonce(ownNonce));
    idleTimer.start(ExtendedProtocol::messageGapMs);
    readPairing();
}

void IncomingTransfer::readPairing()
{
    if (answers.size() <= ExtendedProtocol::maxLineBytes)
        answers += socket->read(ExtendedProtocol::maxLineBytes + 1 - answers.size());
    QByteArray senderNonce;
    const int taken = ExtendedProtocol::takeSenderNonce(answers, &senderNonce);
    if (taken == 0)
        return;
    const PairingCode code = relay->pairingCode(PairingCode::Side::Receiver);
    // A sender that changed its nonce after it saw ours could pick the code it liked.
    if (taken < 0 || !code.opens(commitment, senderNonce)) {
        refuseWith(tr("配对失败，拒绝传输！"));
        return;
    }
    idleTimer.stop();
    offer.pairingCode = code.digits(senderNonce, ownNonce);
    early = answers.mid(taken);
    answers = QByteArray();
    if (holdEarly())
        plan();
}

// Once the body begins both users have said yes: the sender becomes, or stays, a known device.
void IncomingTransfer::rememberSender()
{
    bodyBegan = true;
    if (extended && (offer.pairingCode.isEmpty() || settings.rememberPaired))
        KnownDevices().remember(offer.peer, offer.sender, peerAddress());
}

bool IncomingTransfer::judge()
{
    const QString text = requestText(header);
    const QMap<QString, QString> fields = TransferRequest::parseHeader(text);
    qint64 size = 0;
    qint64 items = 0;
    if (!Decimal::parse(fields.value(QStringLiteral("Content-Length")), &size) ||
        !Decimal::parse(fields.value(QStringLiteral("Items-Number")), &items,
                        std::numeric_limits<int>::max()) ||
        items < 1) {
        refuseWith(tr("请求无效，拒绝传输！"));
        return false;
    }
    // What an extended transfer needs is known once its plan is.
    const QString problem = checkSaveDir(settings.saveDir, extended ? 0 : spaceNeeded(size, items));
    if (!problem.isEmpty()) {
        refuseWith(problem);
        return false;
    }
    offer.sender = fields.value(QStringLiteral("sender-name"));
    offer.target = TransferRequest::parseTarget(text);
    offer.isFile =
        fields.value(QStringLiteral("Content-Type")) == QLatin1String("application/file");
    offer.size = size;
    offer.items = int(items);
    qint64 files = 0;
    if (Decimal::parse(fields.value(QStringLiteral("Files-Number")), &files, items))
        offer.files = int(files);
    progressTotal = offer.size;
    if (extended)
        return true;
    if (!offer.target.isEmpty() && !offer.target.contains(QLatin1Char('/')))
        offer.replaced = folder->replacedTops({offer.target});
    auto plain = std::make_unique<PlainItemStream>(*folder);
    plain->setRecordLimit(offer.items);
    plain->setDataLimit(offer.size);
    store = std::move(plain);
    return true;
}

void IncomingTransfer::plan()
{
    current = Stage::Plan;
    PlanPool::Input input(*folder);
    input.manifest = std::move(manifestBytes);
    manifestBytes = QByteArray();
    input.items = offer.items;
    input.size = offer.size;
    input.senderId = senderId;
    input.partials = partials;
    input.beforePlan = settings.beforePlan;
    startPlanner(std::move(input));
}

void IncomingTransfer::startPlanner(PlanPool::Input input)
{
    socket->write(ExtendedProtocol::planning(0, offer.items));
    signTimer.start(settings.planSignMs);
    ticket = planners->start(std::move(input), [this](const PlanPool::Result &result) {
        // Runs in the planner's thread, while the ticket holds this object alive.
        fromPlanner.post([this, result] { planned(result); });
    });
}

void IncomingTransfer::planned(const PlanPool::Result &result)
{
    if (current != Stage::Plan)
        return;
    signTimer.stop();
    ticket.reset();
    if (!result.valid || result.plan.cancelled) {
        refuseWith(tr("请求无效，拒绝传输！"));
        return;
    }
    if (!result.plan.compare.isEmpty() && !hashesAsked) {
        askHashes(result);
        return;
    }
    manifest = result.manifest;
    transferPlan = result.plan.plan;
    const qint64 moving = transferPlan.bytesToSend(manifest);
    const QString problem = checkSaveDir(
        settings.saveDir, spaceNeeded(moving, manifest.items.size() - transferPlan.skippedFiles()));
    if (!problem.isEmpty()) {
        refuseWith(problem);
        return;
    }
    offer.extended = true;
    offer.skippedFiles = transferPlan.skippedFiles();
    offer.skippedBytes = transferPlan.skippedBytes(manifest);
    offer.resumedBytes = offer.size - offer.skippedBytes - moving;
    offer.replaced = result.plan.replaced;
    progressTotal = moving;
    auto parts =
        std::make_unique<ExtendedParts>(*folder, manifest, result.plan, partials, senderId);
    parts->setHashCache(&HashCache::shared());
    store = std::move(parts);
    ask();
}

// Files sent without a hash may be here already: the sender is asked for their hashes, and the
// save folder compared again with them.
void IncomingTransfer::askHashes(const PlanPool::Result &result)
{
    hashesAsked = true;
    manifest = result.manifest;
    firstPlan = result.plan;
    hashesDue = result.plan.compare.toVector();
    hashesTaken = 0;
    answers = std::move(early);
    early = QByteArray();
    socket->write(ExtendedProtocol::needHashes(hashesDue));
    idleTimer.start(ExtendedProtocol::messageGapMs);
    readHashes();
}

void IncomingTransfer::readHashes()
{
    while (hashesTaken < hashesDue.size()) {
        int index = -1;
        ContentHash::Value hash;
        const int taken = ExtendedProtocol::takeHashAnswer(answers, &index, &hash);
        if (taken < 0 || (taken > 0 && !takeHash(index, hash))) {
            refuseWith(tr("请求无效，拒绝传输！"));
            return;
        }
        if (taken > 0) {
            answers.remove(0, taken);
            idleTimer.start(ExtendedProtocol::messageGapMs);
        } else if (socket->bytesAvailable() > 0) {
            answers += socket->read(ExtendedProtocol::maxLineBytes + 1);
        } else {
            return;
        }
    }
    idleTimer.stop();
    // What follows the answers would be the body, pushed before the question.
    early = std::move(answers);
    answers = QByteArray();
    hashesDue.clear();
    PlanPool::Input input(*folder);
    input.first = firstPlan;
    input.parsed = manifest;
    input.senderHashes = senderHashes;
    input.items = offer.items;
    input.size = offer.size;
    input.senderId = senderId;
    input.partials = partials;
    if (holdEarly())
        startPlanner(std::move(input));
}

// A sign of life (index -1), or the hash of the next file asked for.
bool IncomingTransfer::takeHash(int index, const ContentHash::Value &hash)
{
    if (index < 0)
        return true;
    if (index != hashesDue.at(hashesTaken))
        return false;
    ++hashesTaken;
    senderHashes.insert(index, hash);
    manifest.items[index].hash = hash;
    manifest.items[index].hasHash = true;
    return true;
}

void IncomingTransfer::ask()
{
    current = Stage::Question;
    // The answer's time starts as the question shows, and the sender hears of it then.
    if (extended)
        socket->write(ExtendedProtocol::asking());
    offer.answerMs = settings.answerMs;
    answerTimer.start(settings.answerMs);
    emit asking();
    emit offered(transfer, offer);
}

void IncomingTransfer::accept()
{
    if (current != Stage::Question)
        return;
    answerTimer.stop();
    socket->write(extended ? ExtendedProtocol::accept(transferPlan.toBytes())
                           : TransferReply::accept());
    socket->flush();
    // The flush may find the sender gone, and the close ends the transfer there and then.
    if (current != Stage::Question)
        return;
    store->begin();
    current = Stage::Store;
    // Any close from here on but the one after the last byte is stored tells the sender that
    // not everything arrived, also the one Qt makes when the sender's end closes early.
    SocketReset::arm(socket);
    idleTimer.start(settings.idleMs);
    reportTimer.start();
    emit progress(transfer, 0, progressTotal);
    const QByteArray pushed = std::move(early);
    early = QByteArray();
    takeBody(pushed.constData(), pushed.size());
    if (current == Stage::Store)
        readBody();
}

void IncomingTransfer::refuse()
{
    if (current != Stage::Question)
        return;
    finish(ReceiveOutcome::Refused, QString());
    closeAfterReply(extended ? ExtendedProtocol::refuse(QString()) : TransferReply::refusal());
}

void IncomingTransfer::cancel()
{
    if (current == Stage::Pairing || current == Stage::Plan || current == Stage::Question)
        refuse();
    else if (current == Stage::Store)
        failStore(ReceiveOutcome::Incomplete, tr("已取消接收。"), tr("接收方已取消接收"));
}

void IncomingTransfer::refuseBusy()
{
    qDebug() << "拒绝"
             << "正在传输" << peerAddress();
    closeAfterReply(extended ? ExtendedProtocol::refuse(tr("接收方正在接收其他文件，请稍后再试"))
                             : TransferReply::refusal());
}

void IncomingTransfer::setRequestDeadline(int ms, bool takeWhatCame)
{
    takeAtDeadline = takeWhatCame;
    if (!ready && (current == Stage::Request || current == Stage::Manifest))
        deadline.start(int(qBound(qint64(0), requestMs - connected.elapsed(), qint64(ms))));
}

void IncomingTransfer::close()
{
    if (current == Stage::Store) {
        failStore(ReceiveOutcome::Incomplete, tr("已取消接收。"), tr("接收方已取消接收"));
    } else if (current == Stage::Pairing || current == Stage::Plan || current == Stage::Question) {
        finish(ReceiveOutcome::Refused, QString());
    }
    current = Stage::End;
    lingerTimer.stop();
    socket->disconnect(this);
    SocketReset::reset(socket);
    gone();
}

void IncomingTransfer::readBody()
{
    while (current == Stage::Store && socket->bytesAvailable() > 0) {
        if (buffer.size() != chunkSize)
            buffer.resize(int(chunkSize));
        const qint64 got = socket->read(buffer.data(), chunkSize);
        if (got <= 0)
            return;
        takeBody(buffer.constData(), got);
        drainSocket();
    }
}

// Qt takes what the system holds at each readiness, often a few segments, and a turn of the
// event loop each costs more than the copy: once Qt's buffer is empty, the body is read straight
// from the connection in large pieces until nothing more is there. The end of the connection is
// not taken here; it stays for Qt to see.
void IncomingTransfer::drainSocket()
{
#ifdef Q_OS_UNIX
    constexpr int maxPiecesPerTurn = 16; // lets timers and a cancel in between
    for (int piece = 0; piece < maxPiecesPerTurn; ++piece) {
        if (current != Stage::Store || socket->bytesAvailable() > 0 ||
            socket->socketDescriptor() == -1)
            return;
        const ssize_t got = ::recv(int(socket->socketDescriptor()), buffer.data(),
                                   size_t(buffer.size()), MSG_DONTWAIT);
        if (got <= 0)
            return;
        takeBody(buffer.constData(), got);
    }
#endif
}

void IncomingTransfer::takeBody(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    if (!bodyBegan)
        rememberSender();
    idleTimer.start(settings.idleMs);
    if (!store->feed(data, length)) {
        qDebug() << "无法保存，断开连接";
        const QString reason = store->failure();
        failStore(ReceiveOutcome::Failed, reason,
                  reason.isEmpty() ? tr("接收方未能保存全部项目") : reason);
        return;
    }
    if (store->atEnd())
        succeed();
}

void IncomingTransfer::succeed()
{
    // Everything is stored: ending the connection from this side tells the sender so. The sender
    // hears it before the user does, who may quit the moment the end shows.
    SocketReset::disarm(socket);
    if (extended) {
        socket->write(ExtendedProtocol::done());
        socket->flush();
    }
    finish(ReceiveOutcome::Complete, QString());
    closeAfterReply(QByteArray());
}

// The input ends here and what it left is kept as far as it can be: an extended file begun stays
// as a partial file. The sender hears why, and then the reset.
void IncomingTransfer::failStore(Outcome outcome, const QString &reason, const QString &peerReason)
{
    if (!store->failed())
        store->finish();
    finish(outcome, reason);
    if (extended && socket->state() == QAbstractSocket::ConnectedState) {
        socket->write(ExtendedProtocol::failed(peerReason));
        socket->flush();
        lingerTimer.start(failLingerMs);
    } else {
        SocketReset::reset(socket);
        gone();
    }
}

void IncomingTransfer::senderClosed()
{
    qDebug() << "客户端断开连接";
    switch (current) {
    case Stage::Request:
    case Stage::Manifest:
        gone();
        break;
    case Stage::Pairing:
    case Stage::Plan:
        finish(ReceiveOutcome::SenderLeft, QString());
        gone();
        break;
    case Stage::Question:
        // A sender that leaves while both screens show the code has not confirmed it, whether
        // our yes was on its way or not.
        if (offer.pairingCode.isEmpty())
            finish(ReceiveOutcome::SenderLeft, QString());
        else
            finish(ReceiveOutcome::Failed, tr("对方没有确认配对码，未接收任何文件。"));
        gone();
        break;
    case Stage::Store:
        readBody(); // what arrived together with the close
        if (current == Stage::Store && store->atEnd()) {
            // The close came inside the flush of our last reply: everything is stored.
            finish(ReceiveOutcome::Complete, QString());
        } else if (current == Stage::Store) {
            // Qt has reset the connection already: it was armed when the body began.
            store->finish();
            if (!bodyBegan && !offer.pairingCode.isEmpty())
                finish(ReceiveOutcome::Failed, tr("对方没有确认配对码，未接收任何文件。"));
            else
                finish(ReceiveOutcome::Incomplete, QString());
        }
        gone();
        break;
    case Stage::End:
        gone();
        break;
    }
}

void IncomingTransfer::requestTimedOut()
{
    if (takeAtDeadline)
        becomeReady(); // to be refused as busy, naming its sender if it said who it is
    else
        drop("请求超时");
}

void IncomingTransfer::answerTimedOut()
{
    if (current != Stage::Question)
        return;
    // No reply on the plain port: the sender then tells "no answer" from a refusal.
    finish(ReceiveOutcome::Unanswered, QString());
    closeAfterReply(extended ? ExtendedProtocol::refuse(tr("对方未在时限内回答")) : QByteArray());
}

void IncomingTransfer::idleTimedOut()
{
    if (current == Stage::Plan || current == Stage::Pairing)
        refuseWith(tr("对方长时间没有发送数据，已断开连接。"));
    else if (current == Stage::Store)
        failStore(ReceiveOutcome::Incomplete, tr("对方长时间没有发送数据，已断开连接。"),
                  tr("接收方长时间没有收到数据"));
}

void IncomingTransfer::report()
{
    if (!store)
        return;
    const QList<StoredEntry> entries = store->takeEntries();
    const int unchanged = store->takeUnchanged();
    if (!entries.isEmpty() || unchanged > 0)
        emit itemsStored(transfer, entries, unchanged);
    const qint64 total = progressTotal + store->extraBytes();
    emit progress(transfer, qMin(store->dataBytes(), total), total);
}

void IncomingTransfer::refuseWith(const QString &reason, Outcome outcome)
{
    qDebug() << "拒绝" << reason;
    finish(outcome, reason);
    closeAfterReply(extended ? ExtendedProtocol::refuse(reason) : TransferReply::refusal());
}

// Ends a connection that was never handed the receiver: nothing of it is reported.
void IncomingTransfer::drop(const char *why)
{
    if (current == Stage::End)
        return;
    qDebug() << "断开" << why << peerAddress();
    current = Stage::End;
    socket->abort();
    gone();
}

void IncomingTransfer::finish(Outcome outcome, const QString &reason)
{
    if (endedOnce)
        return;
    endedOnce = true;
    report();
    current = Stage::End;
    for (QTimer *timer : {&deadline, &quiet, &answerTimer, &idleTimer, &signTimer, &reportTimer})
        timer->stop();
    if (ticket) {
        ticket->withdraw();
        ticket.reset();
    }
    const bool stored = store && manifest.items.size() > 0;
    if (!extended)
        writeHeaderFile(QByteArray());
    emit ended(transfer, outcome, reason);
    // The memory a transfer held goes with it, not with the next one, but freeing what tens of
    // thousands of files left takes a while, which the user need not wait for.
    store.reset();
    header = manifestBytes = early = buffer = answers = QByteArray();
    manifest = Manifest();
    // Bookkeeping the user need not wait for.
    if (stored)
        HashCache::shared().save();
    // What a cut left can be continued from now on; the view lists it under the waiting lines.
    if (stored && !partials->entries().isEmpty())
        emit partialsKept(transfer, partials->entries());
}

void IncomingTransfer::closeAfterReply(const QByteArray &reply)
{
    current = Stage::End;
    ready = false;
    deadline.stop();
    quiet.stop();
    socket->write(reply);
    // Senders may keep their end open: this end closes once the reply has left.
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        gone();
}

void IncomingTransfer::gone()
{
    if (reported)
        return;
    reported = true;
    emit finished();
}
