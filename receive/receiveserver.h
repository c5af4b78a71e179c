#ifndef RECEIVESERVER_H
#define RECEIVESERVER_H

#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"
#include "receive/extendedparts.h"
#include "receive/plainitemstream.h"
#include "receive/receiveoffer.h"
#include "receive/receiveplanner.h"
#include "records/partialregistry.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QThread;

// The receiving end of transfers, one at a time, in the thread it is moved to: listens, lets
// several connections wait for their requests, asks through offered() about the first whole
// request (ended by its empty line, or by the quiet period), replies, and stores the body below
// the save folder as it arrives. When the whole body is stored it closes its end, and when
// something cannot be stored it resets the connection, so that a sender can tell the two apart.
// Every signal names the transfer it belongs to. ReceiveSession is its face towards the window.
// On a second port it takes the extended requests of other copies of this program: their
// manifests are read and checked against what is here before the user is asked (in a thread of
// their own, as that reads files), identical files are not sent, kept partial files continue,
// and every file is verified before it takes its name.
class ReceiveServer : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Complete, Incomplete, Refused, Failed, SenderLeft, Unanswered };

    static constexpr int quietPeriodMs = 1000;
    // A request is a few hundred bytes; a peer that keeps talking without pause is not sending one.
    static constexpr qint64 maxHeaderBytes = 64 * 1024;
    // An honest sender sends nothing before the answer; a little is kept for one that does.
    static constexpr qint64 maxEarlyBytes = 64 * 1024;
    static constexpr int reportIntervalMs = 250;
    // Connections waiting for their requests at once; one more is refused straight away.
    static constexpr int maxWaiting = 8;
    // How long a connection that comes while a transfer runs may take to send its request, which
    // names the sender that the receiving user is told was turned away.
    static constexpr int busyWaitMs = 2000;
    // File systems store contents in whole blocks, and 4 KiB is the block of the usual ones
    // (ext4, XFS, NTFS, APFS): a file takes up to one block beyond its size and a folder at least
    // one for its entries. So every announced item may cost up to one block on top of the
    // announced contents.
    static constexpr qint64 blockSize = 4096;

    // The free space a transfer of `size` bytes of contents in `items` items asks for.
    static qint64 spaceNeeded(qint64 size, qint64 items) { return size + items * blockSize; }

    explicit ReceiveServer(QObject *parent = nullptr);
    ~ReceiveServer() override;

    // Safe from any thread: a worker busy storing returns to its event loop at its next piece,
    // so that a posted close() comes through soon. The close clears it.
    void requestStop() { stopping = true; }
    // Safe from any thread: runs `call` in this object's thread, after the calls posted before
    // it. What the call carries is handed over under a lock of the standard library, which
    // ThreadSanitizer follows into the other thread; through Qt's event queue it cannot.
    void post(std::function<void(ReceiveServer *)> call);

    // Transfers of this listen are numbered from `firstTransfer` + 1; listened() tells the result.
    // Extended requests come to `extendedPort`; when it cannot be had, only plain ones come.
    bool listen(const QString &address, quint16 port, quint64 firstTransfer = 0,
                quint16 extendedPort = ExtendedProtocol::tcpPort);
    void close();
    void accept(quint64 transfer);
    void refuse(quint64 transfer);
    void cancel(quint64 transfer);
    void setTimeouts(int idleMs, int answerMs, int quietMs = quietPeriodMs);

signals:
    // `extendedPort` is 0 when extended requests cannot come.
    void listened(quint64 firstTransfer, bool ok, const QString &error, quint16 extendedPort);
    // The partial files kept for later transfers: at the listen, once those too old or too many
    // were removed (with the listen's `firstTransfer`), and after an extended transfer (with its
    // id).
    void partialsKept(quint64 transfer, const QList<PartialRegistry::Entry> &entries);
    void offered(quint64 transfer, const ReceiveOffer &offer);
    void progress(quint64 transfer, qint64 received, qint64 total);
    void itemsStored(quint64 transfer, const QList<StoredEntry> &entries);
    void ended(quint64 transfer, int outcome, const QString &reason);
    // A request from `sender` at `address` came while `transfer` was asked about or received,
    // and was refused; at most once a minute for each address.
    void busyRefused(quint64 transfer, const QString &sender, const QString &address);

private:
    // An extended request reads its manifest and plans before it is asked about.
    enum class Stage { Idle, Header, Manifest, Planning, Asking, Receiving };

    Q_INVOKABLE void runPosted();

    // A connection waiting for its request to arrive whole.
    struct Waiting
    {
        QByteArray bytes;
        QTimer *quiet = nullptr;    // the quiet period after the last bytes
        QTimer *deadline = nullptr; // the time a request may take
        bool extended = false;
    };

    void newConnection(QTcpServer *from);
    void readWaiting(QTcpSocket *incoming);
    void requestArrived(QTcpSocket *incoming);
    void waitedTooLong(QTcpSocket *incoming);
    Waiting takeWaiting(QTcpSocket *incoming);
    void refuseBusy(QTcpSocket *incoming, const QByteArray &bytes);
    void question(const QByteArray &bytes, bool extendedRequest);
    void manifestArrived();
    void planned(quint64 id, bool valid, const Manifest &items,
                 const ReceivePlanner::Result &result);
    void stopPlanner();
    void ask();
    void endInput();
    void readIncoming();
    void drainSocket();
    void takeBody(const char *data, qint64 length);
    void refuseTransfer();
    void cancelTransfer();
    void dropIdle();
    void answerTimedOut();
    void senderClosed();
    void report();
    void finish(Outcome outcome, const QString &reason);
    void resetConnection();
    void refuseWith(const QString &reason);
    bool transferBusy() const { return stage != Stage::Idle && stage != Stage::Header; }
    qint64 earlyLimit() const
    {
        return stage == Stage::Manifest ? manifestLength + maxEarlyBytes : maxEarlyBytes;
    }
    QString checkSaveDir(const QString &saveDir, qint64 needed) const;

    QTcpServer *server;
    QTcpServer *extendedServer;
    QHash<QTcpSocket *, Waiting> waiting;
    QPointer<QTcpSocket> socket; // the transfer's connection, from the question on
    QTimer idleTimer;
    QTimer answerTimer;
    QTimer reportTimer;
    Stage stage = Stage::Idle;
    QByteArray early;
    QByteArray buffer;
    std::unique_ptr<TransferStore> store;
    SettingsKeys::NameClash clashRule = SettingsKeys::NameClash::Overwrite;
    ReceiveOffer offer;
    qint64 progressTotal = 0;
    QString saveDir;
    // Of an extended request.
    QString senderId;
    qint64 manifestLength = 0;
    Manifest manifest;
    TransferPlan plan;
    ExtendedParts *extended = nullptr; // the store, when it is an extended one
    PartialRegistry partials;
    std::unique_ptr<QThread> planner;
    std::atomic<bool> planCancelled{false};
    quint64 transfer = 0;
    int idleTimeoutMs = 60000;
    int answerTimeoutMs = 27000;
    int quietMs = quietPeriodMs;
    std::atomic<bool> stopping{false};
    QElapsedTimer clock;
    QHash<QString, qint64> busyLines; // address to the time its last busy line was told
    std::mutex postedLock;
    std::vector<std::function<void(ReceiveServer *)>> posted;
};

#endif // RECEIVESERVER_H
