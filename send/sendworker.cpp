#include "send/sendworker.h"

#include "protocol/transferplan.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "records/filehash.h"
#include "records/fileidentity.h"
#include "records/hashcache.h"
#include "records/hashcheckpoints.h"
#include "records/identityreader.h"
#include "records/knowndevices.h"
#include "records/recordstore.h"
#include "security/identity.h"
#include "security/tlsrelay.h"
#include "send/filehasher.h"
#include "send/peerlink.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSocketNotifier>

#include <algorithm>

namespace {

// A plain reply is a few short lines; anything longer is not one of ours.
constexpr int maxReplySize = 64 * 1024;

} // namespace

SendWorker::SendWorker(int transfer, const QStringList &dropped, quint16 port, int slackMs,
                       std::shared_ptr<std::atomic<bool>> cancelFlag)
    : id(transfer), paths(dropped), plainPort(port), confirmSlackMs(slackMs),
      cancelled(std::move(cancelFlag)), answerTimer(this), tick(this)
{
    answerTimer.setSingleShot(true);
    connect(&answerTimer, &QTimer::timeout, this, [this] {
        if (stage == Stage::Hashing)
            stillHashing();
        else
            fail(SendResult::Unanswered);
    });
    connect(&tick, &QTimer::timeout, this, &SendWorker::endTick);
}

SendWorker::~SendWorker() = default;

void SendWorker::run()
{
    if (!packer.collect(paths, cancelled.get())) {
        result.listError = packer.error();
        return fail(*cancelled ? SendResult::Cancelled : SendResult::ListFailed,
                    packer.failedItem());
    }
    emit listed(id, packer);
    // Made while the user picks a receiver: only a copy of this program reads it.
    offerBytes = manifest();
    stage = Stage::Choosing;
    if (receiverSet)
        connectToReceiver();
}

void SendWorker::setReceiver(const SendWorker::Receiver &to)
{
    if (receiverSet)
        return;
    receiver = to;
    receiverSet = true;
    if (stage == Stage::Choosing)
        connectToReceiver();
}

void SendWorker::stop()
{
    *cancelled = true;
    fail(SendResult::Cancelled);
}

void SendWorker::connectToReceiver()
{
    const bool tooLarge = packer.largestFileSize() > StreamSender::maxFileSize;
    if (tooLarge && receiver.protocol == Connector::Protocol::Plain) {
        result.listError = SendPacker::TooLarge;
        return fail(SendResult::ListFailed, packer.largestFileName());
    }
    // Heard on the plain port alone: asked before a connection waits on the user.
    if (receiver.protocol == Connector::Protocol::Plain && !inTheClearAllowed && knownInTheClear())
        return askUser(Question::Unencrypted);
    stage = Stage::Connecting;
    connector = new Connector(this);
    connect(connector, &Connector::connected, this, &SendWorker::connected);
    connect(connector, &Connector::failed, this, [this] { fail(SendResult::ConnectFailed); });
    connector->start(receiver.ip, plainPort, receiver.extendedPort, receiver.protocol);
}

void SendWorker::connected(qintptr descriptor, bool isExtended)
{
    extended = isExtended;
    // The extended protocol goes only inside TLS; a session that cannot be had is a failure, never
    // a reason to speak it in the clear.
    if (extended) {
        relay = TlsRelay::start(int(descriptor), TlsChannel::Role::Client);
        descriptor = relay->takePlainEnd();
        if (descriptor < 0) {
            result.reason = relay->errorString();
            return fail(SendResult::NotEncrypted);
        }
    }
    link = new PeerLink(descriptor, this);
    connect(link, &PeerLink::readable, this, &SendWorker::readable);
    if (!extended && packer.largestFileSize() > StreamSender::maxFileSize) {
        result.listError = SendPacker::TooLarge;
        return fail(SendResult::ListFailed, packer.largestFileName());
    }
    if (extended) {
        // Nothing is said before we know whom the session reached.
        stage = Stage::Shaking;
        handshakeWatch = new QSocketNotifier(relay->handshakeEnded(), QSocketNotifier::Read, this);
        connect(handshakeWatch, &QSocketNotifier::activated, this, &SendWorker::shaken);
        return;
    }
    if (!inTheClearAllowed && knownInTheClear())
        return askUser(Question::Unencrypted);
    stage = Stage::Asking;
    ask(plainRequest().toUtf8());
}

void SendWorker::shaken()
{
    stopWatchingHandshake();
    if (stage != Stage::Shaking || handshakeFailed())
        return;
    const SenderPairing::Check check =
        pairing.check(relay->peerFingerprint(), relay->pairingCode(PairingCode::Side::Sender),
                      receiver.name, receiver.ip);
    if (check == SenderPairing::Check::Impostor)
        return fail(SendResult::IdentityChanged,
                    receiver.name.isEmpty() ? receiver.ip : receiver.name);
    stage = Stage::Asking;
    // Our id is our certificate's fingerprint, which the receiver holds against the session's.
    ask(ExtendedProtocol::request(plainRequest(), Identity::shared().fingerprint().hex(),
                                  pairing.commitment(), pairing.knownReceiver(), offerBytes));
}

// Seen once is enough; the notifier may be in the middle of telling us.
void SendWorker::stopWatchingHandshake()
{
    if (!handshakeWatch)
        return;
    handshakeWatch->setEnabled(false);
    handshakeWatch->deleteLater();
    handshakeWatch = nullptr;
}

// A paired device speaks the extended protocol, which is always encrypted: one that now answers
// only on the plain port is not sent to in the clear unless the user says so.
bool SendWorker::knownInTheClear() const
{
    return KnownDevices().otherClaim(Fingerprint(), receiver.name, receiver.ip).has_value();
}

void SendWorker::askUser(Question question, const QString &code)
{
    pending = question;
    if (question == Question::Unencrypted) {
        stage = Stage::Confirming;
        answerTimer.stop();
    }
    emit asking(id, question, code);
}

void SendWorker::answer(bool yes)
{
    if (stage == Stage::Done)
        return;
    if (pending == Question::Unencrypted && stage == Stage::Confirming) {
        if (!yes)
            return fail(SendResult::Cancelled);
        inTheClearAllowed = true;
        if (!link)
            return connectToReceiver();
        stage = Stage::Asking;
        return ask(plainRequest().toUtf8());
    }
    if (pending != Question::Pairing || !pairing.isAsking())
        return;
    if (!yes)
        return fail(SendResult::PairingDeclined);
    pairing.confirm();
    if (stage == Stage::Confirming)
        plan(heldPlan);
}

// The receiver pairs: it gets our nonce, and our user the code to compare with its screen.
void SendWorker::takePairing(const QByteArray &receiverNonce)
{
    QByteArray line;
    QString digits;
    if (!pairing.takeReceiverNonce(receiverNonce, &line, &digits))
        return fail(SendResult::Refused);
    if (!link->write(line, *cancelled, waitMs))
        return fail(*cancelled ? SendResult::Cancelled : SendResult::SendBroken);
    askUser(Question::Pairing, digits);
}

// The receiver said yes; the body waits for our user where the code is still being compared,
// and never goes to an unpaired receiver that skipped pairing.
void SendWorker::accept(const QByteArray &planBytes)
{
    if (pairing.bodyAllowed())
        return plan(planBytes);
    if (!pairing.isAsking()) {
        result.reason = tr("对方没有进行配对");
        return fail(SendResult::Refused);
    }
    answerTimer.stop();
    heldPlan = planBytes;
    stage = Stage::Confirming;
}

// Inside TLS the relay holds what the receiver has not acknowledged, not the link to it.
qint64 SendWorker::unacknowledged() const
{
    return link->unacknowledged() + (relay ? relay->unacknowledged() : 0);
}

// A connection that ends before the session was made failed at the handshake.
bool SendWorker::handshakeFailed()
{
    if (!relay || !relay->peerFingerprint().isNull())
        return false;
    result.reason = relay->errorString();
    fail(SendResult::NotEncrypted);
    return true;
}

TransferRequest SendWorker::plainRequest() const
{
    TransferRequest request;
    request.target = packer.fileName();
    request.kind = packer.fileType();
    request.filesNumber = packer.filesNumber();
    request.itemsNumber = packer.itemsNumber();
    request.contentLength = packer.totalSize();
    request.senderName = receiver.senderName;
    return request;
}

void SendWorker::ask(const QByteArray &request)
{
    if (!link->write(request, *cancelled, waitMs)) {
        qDebug() << "发送中断";
        return fail(*cancelled ? SendResult::Cancelled : SendResult::SendBroken);
    }
    answerTimer.start(waitMs);
}

// Each file with its version, and its hash only where the cache knows it for that identity:
// nothing is read here, as every file is read once, when it is sent.
QByteArray SendWorker::manifest()
{
    offer.items.clear();
    identities.clear();
    QStringList paths;
    QStringList names;
    for (const SendPacker::Item &item : packer.items()) {
        Manifest::Item entry;
        entry.name = item.name;
        entry.isFile = !item.isDir;
        const QString path = item.path;
        const FileIdentity identity = entry.isFile ? FileIdentity::of(path) : FileIdentity();
        if (entry.isFile) {
            entry.size = item.size;
            entry.version = identity.version();
        }
        offer.items << entry;
        identities << identity;
        paths << path;
        names << item.name;
    }
    const auto known = HashCache::shared().lookupMany(paths, names, identities);
    for (int i = 0; i < known.size(); ++i) {
        offer.items[i].hasHash = known.at(i).has_value();
        offer.items[i].hash = known.at(i).value_or(ContentHash::Value());
    }
    return offer.toBytes();
}

// Many files in a row are best asked through one reader, which keeps their folder open.
bool SendWorker::unchanged(int index, IdentityReader *reader) const
{
    const QString &path = packer.items().at(index).path;
    return (reader ? reader->of(path) : FileIdentity::of(path)) == identities.at(index);
}

void SendWorker::readable()
{
    if (!link)
        return;
    const Stage before = stage;
    const PeerLink::State state = link->read(&incoming);
    // Nothing is taken while the handshake runs or our user decides; what comes waits.
    if (stage == Stage::Shaking || stage == Stage::Confirming) {
        if (state != PeerLink::Open && !handshakeFailed())
            fail(SendResult::SendBroken);
        return;
    }
    if (stage == Stage::Asking && !extended)
        takePlainAnswer();
    else if (stage == Stage::Asking)
        takeExtendedWords();
    else if (stage == Stage::Ending)
        takeEnd();
    if (stage != before || state == PeerLink::Open || handshakeFailed())
        return;
    // After our own end, the receiver's close answers that, not the transfer.
    if (stage == Stage::Ending && finishedWriting)
        return finish(SendResult::Unconfirmed);
    if (stage == Stage::Ending)
        return finish(stored || (state == PeerLink::Ended && !extended) ? SendResult::Delivered
                                                                        : SendResult::NotStored);
    fail(stage == Stage::Asking && !incoming.isEmpty() ? SendResult::Refused
                                                       : SendResult::Unanswered);
}

void SendWorker::takePlainAnswer()
{
    if (!incoming.contains("\r\n\r\n") && incoming.size() < maxReplySize)
        return;
    if (!TransferReply::isAccepted(incoming)) {
        qDebug() << "拒绝";
        return fail(SendResult::Refused);
    }
    sendBody();
}

void SendWorker::takeExtendedWords()
{
    while (stage == Stage::Asking) {
        ExtendedProtocol::Message message;
        const int used = ExtendedProtocol::takeMessage(incoming, offer.items.size(), &message);
        if (used == 0)
            return;
        if (used < 0)
            return fail(SendResult::Refused);
        incoming.remove(0, used);
        switch (message.kind) {
        case ExtendedProtocol::Message::Pairing:
            takePairing(message.nonce);
            break;
        case ExtendedProtocol::Message::Planning:
            answerTimer.start(ExtendedProtocol::messageGapMs);
            break;
        case ExtendedProtocol::Message::Asking:
            answerTimer.start(ExtendedProtocol::answerWaitMs);
            break;
        case ExtendedProtocol::Message::NeedHashes:
            return hashForReceiver(message.indexes);
        case ExtendedProtocol::Message::Accepted:
            return accept(message.plan);
        case ExtendedProtocol::Message::Refused:
            result.reason = message.reason;
            return fail(SendResult::Refused);
        }
    }
}

// The receiver holds files it can compare with these: they are hashed now, through the cache,
// while the receiver is told every little while that we still work.
void SendWorker::hashForReceiver(const QVector<int> &indexes)
{
    QStringList files;
    for (const int index : indexes) {
        if (index >= packer.items().size() || packer.items().at(index).isDir)
            return fail(SendResult::Refused);
        files << packer.items().at(index).path;
    }
    stage = Stage::Hashing;
    hashing = indexes;
    hasher = new FileHasher(this);
    connect(hasher, &FileHasher::finished, this, &SendWorker::hashed);
    hasher->start(files);
    stillHashing();
}

void SendWorker::stillHashing()
{
    if (!link->write(ExtendedProtocol::stillHashing(), *cancelled, waitMs))
        return fail(*cancelled ? SendResult::Cancelled : SendResult::SendBroken);
    answerTimer.start(ExtendedProtocol::progressIntervalMs);
}

void SendWorker::hashed(bool ok, int failed)
{
    if (stage != Stage::Hashing)
        return;
    if (!ok) {
        result.sourceError = StreamSender::SourceUnreadable;
        return fail(SendResult::SourceFailed, packer.items().at(hashing.at(failed)).name);
    }
    QByteArray answer;
    for (int i = 0; i < hashing.size(); ++i)
        answer += ExtendedProtocol::hashAnswer(hashing.at(i), hasher->values().at(i));
    stage = Stage::Asking;
    ask(answer);
    takeExtendedWords(); // what came while hashing
}

void SendWorker::plan(const QByteArray &planBytes)
{
    answerTimer.stop();
    heldPlan.clear();
    TransferPlan steps;
    if (!TransferPlan::parse(planBytes, offer, &steps))
        return fail(SendResult::Refused);
    if (!skippedUnchanged(steps) || !resumeFrom(steps))
        return;
    QList<ResumedFile> resumed;
    for (const StreamSender::Part &part : qAsConst(parts)) {
        if (part.from > 0)
            resumed << ResumedFile{offer.items.at(part.index).name, part.from};
    }
    emit planned(id, steps.skippedFiles(), steps.skippedBytes(offer), resumed,
                 StreamSender::partsSize(packer.items(), parts));
    pairing.remember();
    sendBody();
}

// A skip stands only for the file the manifest named: one changed since is never reported as
// delivered.
bool SendWorker::skippedUnchanged(const TransferPlan &steps)
{
    IdentityReader reader;
    for (int i = 0; i < steps.steps.size(); ++i) {
        if (steps.steps.at(i).action != TransferPlan::Skip)
            continue;
        if (!unchanged(i, &reader)) {
            result.sourceError = StreamSender::SourceChanged;
            fail(SendResult::SourceFailed, offer.items.at(i).name);
            return false;
        }
    }
    return true;
}

// The parts of the body, each with the hashing state at its offset: saved when this program
// sent the file that far before, else read from the file.
bool SendWorker::resumeFrom(const TransferPlan &steps)
{
    parts.clear();
    for (int i = 0; i < steps.steps.size(); ++i) {
        if (!offer.items.at(i).isFile || steps.steps.at(i).action == TransferPlan::Skip)
            continue;
        StreamSender::Part part;
        part.index = i;
        const QString path = packer.items().at(i).path;
        // The kept part is of the version the manifest named; a file changed since goes whole.
        if (steps.steps.at(i).action == TransferPlan::Resume && unchanged(i))
            part.from = steps.steps.at(i).offset;
        if (part.from > 0) {
            HashCheckpoints(RecordStore::shared())
                .find(path, offer.items.at(i).version, part.from, &part.hash);
            const qint64 kept = part.hash.bytes();
            if (!FileHash::feed(&part.hash, path, part.from, cancelled.get())) {
                result.sourceError = StreamSender::SourceUnreadable;
                fail(*cancelled ? SendResult::Cancelled : SendResult::SourceFailed,
                     offer.items.at(i).name);
                return false;
            }
            result.bytesRead += part.from - kept;
        }
        parts << part;
    }
    return true;
}

void SendWorker::sendBody()
{
    answerTimer.stop();
    stage = Stage::Body;
    emit accepted(id);
    const QList<SendPacker::Item> &items = packer.items();
    const qint64 total = extended ? StreamSender::partsSize(items, parts) : packer.bodySize();
    StreamSender sender(link->descriptor());
    sender.setStallTimeout(waitMs);
    sender.setCancelFlag(cancelled.get());
    QElapsedTimer sinceReport;
    sinceReport.start();
    sender.setSentCallback([&](qint64 sent) {
        if (sinceReport.elapsed() >= reportIntervalMs) {
            sinceReport.restart();
            emit progress(id, sent, total);
        }
    });
    HashCache &cache = HashCache::shared();
    if (extended) {
        sender.setPeerCheck([this] { return peerCheck(); });
        sender.setStepCallback(
            ExtendedProtocol::resumeStep, [&](int index, const ContentHash &state) {
                HashCheckpoints(RecordStore::shared())
                    .save(items.at(index).path, offer.items.at(index).version, state);
            });
        // Remembered only for the version the manifest named: a file written to since may
        // not have been read as it is now.
        sender.setHashedCallback([&](int index, const ContentHash::Value &value) {
            const QString path = items.at(index).path;
            if (unchanged(index))
                cache.store(path, identities.at(index), value);
        });
    }
    QElapsedTimer bodyTime;
    bodyTime.start();
    const bool sent = extended ? sender.sendParts(items, parts) : sender.send(items);
    result.bytesRead += sender.read();
    if (!sent)
        return bodyFailed(sender);
    emit progress(id, sender.sent(), total);
    bytesPerMs = double(sender.sent()) / double(std::max<qint64>(bodyTime.elapsed(), 1));
    stage = Stage::Ending;
    inFlight = unacknowledged();
    endDeadline.setRemainingTime(endSlackMs());
    tick.start(reportIntervalMs);
    readable(); // the receiver's end may have come during the body
}

// Between pieces of the body: an "X" ends it with the receiver's reason.
StreamSender::Error SendWorker::peerCheck()
{
    const PeerLink::State state = link->read(&incoming);
    switch (ExtendedProtocol::parseEnd(incoming, &result.reason)) {
    case ExtendedProtocol::EndIncomplete:
        return state == PeerLink::Open ? StreamSender::NoError : StreamSender::SendFailed;
    case ExtendedProtocol::EndFailed:
        return StreamSender::Stopped;
    default:
        return StreamSender::SendFailed;
    }
}

void SendWorker::bodyFailed(const StreamSender &sender)
{
    qDebug() << "发送中断" << sender.error() << sender.failedItem();
    // A receiver that stops says why before it resets; the reason may be all that is left.
    if (extended && result.reason.isEmpty()) {
        link->read(&incoming);
        ExtendedProtocol::parseEnd(incoming, &result.reason);
    }
    switch (sender.error()) {
    case StreamSender::SourceChanged:
    case StreamSender::SourceUnreadable:
        result.sourceError = sender.error();
        return fail(SendResult::SourceFailed, sender.failedItem());
    case StreamSender::Cancelled:
        return fail(SendResult::Cancelled);
    default:
        return fail(result.reason.isEmpty() ? SendResult::SendBroken : SendResult::NotStored);
    }
}

// An extended receiver says "K" when it has stored and verified everything, then closes; a
// plain one only closes (stored) or resets (not stored).
void SendWorker::takeEnd()
{
    if (!extended || stored)
        return;
    switch (ExtendedProtocol::parseEnd(incoming, &result.reason)) {
    case ExtendedProtocol::EndIncomplete:
        return;
    case ExtendedProtocol::EndDone:
        stored = true;
        return;
    default:
        return fail(SendResult::NotStored);
    }
}

// A receiver that waits for our end still gets every byte: give up only when the bytes in
// flight have had their time at the rate seen and the slack has passed without a word.
void SendWorker::endTick()
{
    const qint64 now = unacknowledged();
    if (now < inFlight)
        endDeadline.setRemainingTime(endSlackMs() + qint64(now / std::max(bytesPerMs, 1.0)));
    inFlight = now;
    if (!endDeadline.hasExpired())
        return;
    if (stored || finishedWriting || extended)
        return finish(stored ? SendResult::Delivered : SendResult::Unconfirmed);
    // Our end after what is still queued, which is the end a waiting receiver needs.
    finishedWriting = true;
    link->finishWriting();
    endDeadline.setRemainingTime(endSlackMs());
}

// An extended receiver's last word comes like any of its messages; a plain one's end is only
// waited for as long as the view was told.
int SendWorker::endSlackMs() const
{
    return extended ? ExtendedProtocol::messageGapMs : confirmSlackMs;
}

void SendWorker::fail(SendResult::Outcome outcome, const QString &item)
{
    if (stage == Stage::Done)
        return;
    result.item = item;
    finish(outcome);
}

void SendWorker::finish(SendResult::Outcome outcome)
{
    if (stage == Stage::Done)
        return;
    stage = Stage::Done;
    stopWatchingHandshake();
    answerTimer.stop();
    tick.stop();
    if (connector)
        connector->cancel();
    if (hasher)
        hasher->cancel();
    const bool whole = outcome == SendResult::Delivered || outcome == SendResult::Unconfirmed ||
                       (outcome == SendResult::NotStored && !extended);
    if (link) {
        link->disconnect(this);
        if (!whole)
            link->reset();
        link->deleteLater(); // closes what is left
        link = nullptr;
    }
    if (extended)
        HashCache::shared().save();
    result.outcome = outcome;
    result.peer = relay ? relay->peerFingerprint() : Fingerprint();
    qDebug() << "发送结束" << outcome << result.item << result.reason;
    emit ended(id, result);
}
