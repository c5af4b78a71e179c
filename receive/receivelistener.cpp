#include "receive/receivelistener.h"

#include "protocol/transferreply.h"
#include "receive/incomingtransfer.h"
#include "receive/planpool.h"
#include "receive/savefolder.h"
#include "security/tlsrelay.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 busyLineIntervalMs = 60000;

} // namespace

ReceiveListener::ReceiveListener(PlanPool *planners, QObject *parent)
    : QObject(parent), planners(planners), server(new QTcpServer(this)),
      extendedServer(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, [this] { newConnection(server); });
    connect(extendedServer, &QTcpServer::newConnection, this,
            [this] { newConnection(extendedServer); });
    clock.start();
}

ReceiveListener::~ReceiveListener()
{
    close();
}

void ReceiveListener::post(std::function<void(ReceiveListener *)> call)
{
    inbox.post([this, call = std::move(call)] { call(this); });
}

bool ReceiveListener::listen(const QString &address, quint16 port, quint64 firstTransfer,
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
    QFile(QStringLiteral("header")).open(QIODevice::WriteOnly | QIODevice::Truncate);
    partials.clean(QDateTime::currentMSecsSinceEpoch());
    ownFiles = SaveFolder::ownFiles();
    emit listened(firstTransfer, true, QString(),
                  extendedServer->isListening() ? extendedServer->serverPort() : 0);
    emit partialsKept(firstTransfer, partials.entries());
    return true;
}

void ReceiveListener::close()
{
    server->close();
    extendedServer->close();
    const QList<IncomingTransfer *> all = transfers;
    transfers.clear();
    holder = nullptr;
    for (IncomingTransfer *incoming : all) {
        incoming->disconnect(this);
        incoming->close();
        incoming->deleteLater();
    }
    // A plan still running uses the shared hash cache, which must not outlive the session.
    planners->waitForDone();
}

void ReceiveListener::newConnection(QTcpServer *from)
{
    while (QTcpSocket *incoming = from->nextPendingConnection()) {
        int pending = 0;
        for (const IncomingTransfer *other : qAsConst(transfers))
            pending += other->stage() <= IncomingTransfer::Stage::Manifest;
        if (pending >= maxPending) {
            qDebug() << "拒绝"
                     << "等待的连接过多";
            // The extended port has no plain words: its sender sees the connection fail.
            if (from == server)
                incoming->write(TransferReply::refusal());
            connect(incoming, &QTcpSocket::disconnected, incoming, &QObject::deleteLater);
            incoming->disconnectFromHost();
            continue;
        }
        auto *transfer =
            from == extendedServer
                ? encrypted(incoming)
                : new IncomingTransfer(incoming, false, current.requestMs, planners, this);
        if (!transfer)
            continue;
        watch(transfer);
        if (busy())
            transfer->setRequestDeadline(busyWaitMs, true);
        // Bytes that came with the connection are announced by readyRead as usual.
    }
}

// The extended protocol is spoken only inside TLS: its transfer reads and writes the plain end of
// a relay, which makes the handshake while the request may already be on its way.
IncomingTransfer *ReceiveListener::encrypted(QTcpSocket *incoming)
{
    const QString address = incoming->peerAddress().toString();
    const int descriptor = ::fcntl(int(incoming->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    incoming->abort();
    incoming->deleteLater();
    if (descriptor < 0)
        return nullptr;
    std::shared_ptr<TlsRelay> relay = TlsRelay::start(descriptor, TlsChannel::Role::Server);
    const int plainEnd = relay->takePlainEnd();
    auto *socket = new QTcpSocket(this);
    if (plainEnd < 0 || !socket->setSocketDescriptor(plainEnd)) {
        qInfo().noquote() << "TLS:" << address << relay->errorString();
        if (plainEnd >= 0)
            ::close(plainEnd);
        socket->deleteLater();
        return nullptr;
    }
    auto *transfer = new IncomingTransfer(socket, true, current.requestMs, planners, this);
    transfer->setRelay(std::move(relay), address);
    return transfer;
}

void ReceiveListener::watch(IncomingTransfer *incoming)
{
    transfers << incoming;
    connect(incoming, &IncomingTransfer::arrived, this, &ReceiveListener::handOver);
    connect(incoming, &IncomingTransfer::asking, this, &ReceiveListener::holderAsking);
    // Only the listener knows the connection behind the offer, relayed through TLS or not.
    connect(incoming, &IncomingTransfer::offered, this,
            [this, incoming](quint64 id, ReceiveOffer offer) {
                offer.address = incoming->peerAddress();
                emit offered(id, offer);
            });
    connect(incoming, &IncomingTransfer::progress, this, &ReceiveListener::progress);
    connect(incoming, &IncomingTransfer::itemsStored, this, &ReceiveListener::itemsStored);
    connect(incoming, &IncomingTransfer::partialsKept, this, &ReceiveListener::partialsKept);
    connect(incoming, &IncomingTransfer::ended, this,
            [this](quint64 id, int outcome, const QString &reason) {
                emit ended(id, outcome, reason);
                holderEnded(id);
            });
    connect(incoming, &IncomingTransfer::finished, this,
            [this, incoming] { removeTransfer(incoming); });
}

// The first request that is in gets the receiver. While another is asked about or stored, those
// that are in are refused; while another is only being planned, they wait for its question.
void ReceiveListener::handOver()
{
    const QList<IncomingTransfer *> all = transfers;
    for (IncomingTransfer *incoming : all) {
        if (!incoming->isReady() || !transfers.contains(incoming))
            continue;
        if (busy()) {
            tellBusy(incoming);
            incoming->refuseBusy();
        } else if (!holder) {
            holder = incoming;
            incoming->start(++transfer, current, ownFiles, &partials);
        }
    }
}

void ReceiveListener::holderAsking()
{
    // Those still sending their requests are refused once these are in, which takes no longer
    // than this.
    for (IncomingTransfer *incoming : qAsConst(transfers)) {
        if (incoming != holder)
            incoming->setRequestDeadline(busyWaitMs, true);
    }
    handOver();
}

void ReceiveListener::holderEnded(quint64 id)
{
    if (!holder || holder->id() != id)
        return;
    holder = nullptr;
    // Those that came during the transfer may now be asked about; they get the time of any other.
    for (IncomingTransfer *incoming : qAsConst(transfers))
        incoming->setRequestDeadline(current.requestMs, false);
    QTimer::singleShot(0, this, &ReceiveListener::handOver);
}

void ReceiveListener::removeTransfer(IncomingTransfer *incoming)
{
    transfers.removeOne(incoming);
    incoming->disconnect(this);
    incoming->deleteLater();
    // What a transfer held was given back to the allocator; this gives it back to the system.
    QTimer::singleShot(0, this, [] {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    });
}

void ReceiveListener::tellBusy(IncomingTransfer *incoming)
{
    const QString sender = incoming->senderName();
    const QString address = incoming->peerAddress();
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
    emit busyRefused(holder ? holder->id() : transfer, sender, address);
}

IncomingTransfer *ReceiveListener::find(quint64 id) const
{
    return holder && holder->id() == id ? holder.data() : nullptr;
}

bool ReceiveListener::busy() const
{
    return holder && holder->holdsReceiver();
}

void ReceiveListener::accept(quint64 id)
{
    if (IncomingTransfer *incoming = find(id))
        incoming->accept();
}

void ReceiveListener::refuse(quint64 id)
{
    if (IncomingTransfer *incoming = find(id))
        incoming->refuse();
}

void ReceiveListener::cancel(quint64 id)
{
    if (IncomingTransfer *incoming = find(id))
        incoming->cancel();
}
