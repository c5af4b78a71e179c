// The extended protocol's parsers take whatever a peer sends: the request's fields, the manifest,
// the plan, the receiver's messages and last word, the sender's hash answers and the body. The
// input is two lengths (two bytes each, little-endian), the manifest and the plan of those
// lengths, then the body; the whole input is also read as a request, as the receiver's messages,
// as the sender's answers and nonce, and as an announcement.
#include "fuzzinput.h"
#include "protocol/announcement.h"
#include "protocol/extendedbodyreader.h"
#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "protocol/transferrequest.h"

#include <cstdlib>

namespace {

// Checks that the reader keeps the order and the sizes it promises.
class Checker : public ExtendedBodyReader::Handler
{
public:
    Checker(const Manifest &manifest, const TransferPlan &plan) : manifest(manifest), plan(plan) {}

    bool folder(int index) override { return pass(index, false); }
    bool skipped(int index) override
    {
        if (plan.steps.at(index).action != TransferPlan::Skip)
            abort();
        return pass(index, true);
    }
    bool fileBegin(int index, qint64 offset) override
    {
        if (open >= 0 || !manifest.items.at(index).isFile || offset < 0 ||
            offset > manifest.items.at(index).size)
            abort();
        pass(index, true);
        open = index;
        left = manifest.items.at(index).size - offset;
        return true;
    }
    bool fileData(const char *, qint64 length) override
    {
        if (open < 0 || length <= 0 || length > left)
            abort();
        left -= length;
        return true;
    }
    bool fileEnd(int index, const ContentHash::Value &) override
    {
        if (index != open || left != 0)
            abort();
        open = -1;
        return true;
    }

private:
    bool pass(int index, bool isFile)
    {
        if (index <= last || manifest.items.at(index).isFile != isFile)
            abort();
        last = index;
        return true;
    }

    const Manifest &manifest;
    const TransferPlan &plan;
    int last = -1;
    int open = -1;
    qint64 left = 0;
};

// Every message taken is one the receiver could have written: written again, it is the same bytes.
void readMessages(const QByteArray &whole)
{
    constexpr int items = 100;
    int at = 0;
    ExtendedProtocol::Message message;
    for (int taken; (taken = ExtendedProtocol::takeMessage(whole.mid(at), items, &message)) > 0;
         at += taken) {
        QByteArray again;
        switch (message.kind) {
        case ExtendedProtocol::Message::Pairing:
            again = ExtendedProtocol::receiverNonce(message.nonce);
            break;
        case ExtendedProtocol::Message::Planning:
            again = ExtendedProtocol::planning(message.done, message.total);
            break;
        case ExtendedProtocol::Message::NeedHashes:
            for (const int index : qAsConst(message.indexes)) {
                if (index < 0 || index >= items)
                    abort();
            }
            again = ExtendedProtocol::needHashes(message.indexes);
            break;
        case ExtendedProtocol::Message::Asking:
            again = ExtendedProtocol::asking();
            break;
        case ExtendedProtocol::Message::Accepted:
            again = ExtendedProtocol::accept(message.plan);
            break;
        case ExtendedProtocol::Message::Refused:
            again = ExtendedProtocol::refuse(message.reason);
            break;
        }
        if (again != whole.mid(at, taken))
            abort();
    }
    QString reason;
    if (ExtendedProtocol::parseEnd(whole, &reason) == ExtendedProtocol::EndFailed &&
        ExtendedProtocol::failed(reason) != whole)
        abort();
}

// What the encrypted layer adds: the announcement with its fingerprint, the request's pairing
// fields and the sender's nonce; each is taken only in the one form it is written in.
void readPairing(const QByteArray &whole)
{
    QString address;
    quint16 port = 0;
    Fingerprint fingerprint;
    if (Announcement::parse(whole, &address, &port, &fingerprint) &&
        Announcement::make(address, port, fingerprint) != whole)
        abort();
    QByteArray commitment;
    QString known;
    if (ExtendedProtocol::parsePairingFields(TransferRequest::parseHeader(QString::fromUtf8(whole)),
                                             &commitment, &known) &&
        commitment.size() != 32)
        abort();
    QByteArray nonce;
    const int taken = ExtendedProtocol::takeSenderNonce(whole, &nonce);
    if (taken > 0 && ExtendedProtocol::senderNonce(nonce) != whole.left(taken))
        abort();
}

void readAnswers(const QByteArray &whole)
{
    int at = 0;
    int index = 0;
    ContentHash::Value hash;
    for (int taken; (taken = ExtendedProtocol::takeHashAnswer(whole.mid(at), &index, &hash)) > 0;
         at += taken) {
        const QByteArray again = index < 0 ? ExtendedProtocol::stillHashing()
                                           : ExtendedProtocol::hashAnswer(index, hash);
        if (again != whole.mid(at, taken))
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray whole(reinterpret_cast<const char *>(data), int(size));
    QString senderId;
    qint64 manifestLength = 0;
    if (ExtendedProtocol::parseRequestFields(TransferRequest::parseHeader(QString::fromUtf8(whole)),
                                             &senderId, &manifestLength, 4096) &&
        (senderId.isEmpty() || manifestLength <= 0 || manifestLength > 4096))
        abort();
    readMessages(whole);
    readAnswers(whole);
    readPairing(whole);

    FuzzInput in(data, size);
    const int manifestSize = in.byte() | in.byte() << 8;
    const int planSize = in.byte() | in.byte() << 8;
    const QByteArray manifestBytes = in.bytes(size_t(manifestSize));
    const QByteArray planBytes = in.bytes(size_t(planSize));

    Manifest manifest;
    if (!Manifest::parse(manifestBytes, &manifest))
        return 0;
    // What is taken is written back byte for byte: one form for every manifest.
    if (manifest.toBytes() != manifestBytes)
        abort();
    TransferPlan steps;
    if (!TransferPlan::parse(planBytes, manifest, &steps))
        return 0;
    if (steps.toBytes() != planBytes || steps.bytesToSend(manifest) < 0)
        abort();

    Checker checker(manifest, steps);
    ExtendedBodyReader reader(manifest, steps, &checker);
    while (in.more()) {
        const QByteArray piece = in.bytes(1 + in.byte());
        if (!reader.feed(piece.constData(), piece.size()))
            break;
    }
    if (reader.dataBytes() > manifest.totalSize())
        abort();
    return 0;
}
