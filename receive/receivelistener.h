#ifndef RECEIVELISTENER_H
#define RECEIVELISTENER_H

#include "protocol/extendedprotocol.h"
#include "protocol/handover.h"
#include "receive/receiveoffer.h"
#include "receive/receivesettings.h"
#include "receive/storedentry.h"
#include "records/partialregistry.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

class IncomingTransfer;
class PlanPool;
class QTcpServer;
class QTcpSocket;

// Listens on the plain and the extended port in the thread it is moved to, and makes an
// IncomingTransfer of every connection. Several may send their requests at once; the first whose
// request is in is handed the receiver, and while one is asked about or stored, the others are
// refused with the busy reply once their requests are in. A connection that is still sending its
// request holds nobody up, and only a few may do so at once.
class ReceiveListener : public QObject
{
    Q_OBJECT

public:
    // Connections sending their requests at once; one more is refused straight away.
    static constexpr int maxPending = 8;
    // How long a connection that comes while a transfer is asked about or stored may take to send
    // its request, which names the sender that the receiving user is told was turned away.
    static constexpr int busyWaitMs = 2000;

    // `planners` must outlive this object.
    explicit ReceiveListener(PlanPool *planners, QObject *parent = nullptr);
    ~ReceiveListener() override;

    // Safe from any thread: runs `call` in this object's thread, after the calls posted before
    // it.
    void post(std::function<void(ReceiveListener *)> call);

    // Transfers of this listen are numbered from `firstTransfer` + 1; listened() tells the result.
    // Extended requests come to `extendedPort`; when it cannot be had, only plain ones come.
    bool listen(const QString &address, quint16 port, quint64 firstTransfer = 0,
                quint16 extendedPort = ExtendedProtocol::tcpPort);
    // Ends every connection; a body being stored is cut and what it leaves is kept. Waits for
    // the plans still running.
    void close();
    void setSettings(const ReceiveSettings &settings) { current = settings; }
    const ReceiveSettings &settings() const { return current; }
    void accept(quint64 transfer);
    void refuse(quint64 transfer);
    void cancel(quint64 transfer);

signals:
    // `extendedPort` is 0 when extended requests cannot come.
    void listened(quint64 firstTransfer, bool ok, const QString &error, quint16 extendedPort);
    // The partial files kept for later transfers: at the listen (with its `firstTransfer`), and
    // after an extended transfer (with its id).
    void partialsKept(quint64 transfer, const QList<PartialRegistry::Entry> &entries);
    void offered(quint64 transfer, const ReceiveOffer &offer);
    void progress(quint64 transfer, qint64 received, qint64 total);
    // `unchanged`: files inside folders found unchanged, which have no entries.
    void itemsStored(quint64 transfer, const QList<StoredEntry> &entries, int unchanged);
    void ended(quint64 transfer, int outcome, const QString &reason);
    // A request from `sender` at `address` came while `transfer` was asked about or received,
    // and was refused; at most once a minute for each address.
    void busyRefused(quint64 transfer, const QString &sender, const QString &address);

private:
    void newConnection(QTcpServer *from);
    IncomingTransfer *encrypted(QTcpSocket *incoming);
    void watch(IncomingTransfer *incoming);
    void handOver();
    void holderAsking();
    void holderEnded(quint64 id);
    void removeTransfer(IncomingTransfer *incoming);
    void tellBusy(IncomingTransfer *incoming);
    IncomingTransfer *find(quint64 id) const;
    bool busy() const;

    PlanPool *planners;
    QTcpServer *server;
    QTcpServer *extendedServer;
    ReceiveSettings current;
    PartialRegistry partials;
    QStringList ownFiles;                // read at each listen, for every transfer of it
    QList<IncomingTransfer *> transfers; // children, in the order they connected
    QPointer<IncomingTransfer> holder;   // handed the receiver
    quint64 transfer = 0;
    QElapsedTimer clock;
    QHash<QString, qint64> busyLines; // address to the time its last busy line was told
    HandOver inbox{this};             // moves with this object
};

#endif // RECEIVELISTENER_H
