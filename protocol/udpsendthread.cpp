#include "protocol/udpsendthread.h"

#include "protocol/announcement.h"
#include "protocol/extendedprotocol.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

namespace {

const char groupAddress[] = "224.0.0.1";
// A UDP "connect" only consults the routing table, so any public IPv4 address serves and nothing
// is sent to it. IPv4, so that the address learnt is dotted and carries no ":".
const char routeProbeAddress[] = "8.8.8.8";
const quint16 routeProbePort = 53;
const int announcementPeriodMs = 1000;
// What has arrived is read on this beat, so that the list goes out at most this often however
// many datagrams arrive, together with what they changed, and a burst never outgrows the socket
// buffer.
const int listPeriodMs = 100;
// Bounds the work of one turn under a flood: the rest is read on the next turn of the loop, and
// the system drops what does not fit its buffer.
const int maxDatagramsPerTurn = 1000;

bool isUsableIPv4(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol && !address.isNull() &&
           address != QHostAddress(QHostAddress::AnyIPv4);
}

QHostAddress firstInterfaceAddress()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (isUsableIPv4(entry.ip()))
                return entry.ip();
        }
    }
    return QHostAddress();
}

// Hands each datagram waiting on `socket` to `take`, up to a slice's worth. The buffer holds one
// byte more than a listener takes: a longer datagram arrives cut, and the taker drops it.
template <typename Take> void readEach(QUdpSocket &socket, const Take &take)
{
    char buffer[PresenceList::maxDatagramSize + 1];
    for (int i = 0; i < maxDatagramsPerTurn && socket.hasPendingDatagrams(); ++i) {
        QHostAddress source;
        const qint64 size = socket.readDatagram(buffer, sizeof buffer, &source);
        if (size < 0)
            break;
        take(QByteArray::fromRawData(buffer, int(size)), source);
    }
}

// Platforms list an interface's addresses in their own order, so every entry is looked at.
QNetworkInterface interfaceHolding(const QHostAddress &address)
{
    if (address.isNull())
        return QNetworkInterface();
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().isEqual(address, QHostAddress::TolerantConversion))
                return iface;
        }
    }
    return QNetworkInterface();
}

} // namespace

UDPSendThread::UDPSendThread() : localAddress(probeLocalAddress()), localIp(localAddress.toString())
{
    // Both run in the presence thread, as it starts and as it ends.
    connect(&thread, &QThread::started, this, &UDPSendThread::begin, Qt::DirectConnection);
    connect(&thread, &QThread::finished, this, &UDPSendThread::end, Qt::DirectConnection);
}

UDPSendThread::~UDPSendThread()
{
    stopThread();
}

QHostAddress UDPSendThread::probeLocalAddress()
{
    QUdpSocket probe;
    probe.connectToHost(QHostAddress(QString::fromLatin1(routeProbeAddress)), routeProbePort);
    if (probe.state() == QAbstractSocket::ConnectedState) {
        const QHostAddress local(probe.localAddress().toIPv4Address());
        if (isUsableIPv4(local))
            return local;
    }
    return firstInterfaceAddress();
}

void UDPSendThread::setFingerprint(const Fingerprint &own)
{
    std::lock_guard<std::mutex> lock(mutex);
    fingerprint = own;
}

void UDPSendThread::setUserName(const QString &name)
{
    std::lock_guard<std::mutex> lock(mutex);
    userName = name;
}

void UDPSendThread::setListenMode(bool listen)
{
    std::lock_guard<std::mutex> lock(mutex);
    listenMode = listen;
}

bool UDPSendThread::listening() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return listenMode;
}

void UDPSendThread::start(QThread::Priority priority)
{
    thread.start(priority);
}

void UDPSendThread::stopThread()
{
    thread.quit();
    if (QThread::currentThread() == &thread)
        return;
    thread.wait();
    toOwner.settle();
}

QStringList UDPSendThread::userList() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return peers.texts();
}

void UDPSendThread::userListRefresh()
{
    std::lock_guard<std::mutex> lock(mutex);
    peers.clear();
    extendedPeers.clear();
}

void UDPSendThread::setExtendedPort(quint16 port)
{
    std::lock_guard<std::mutex> lock(mutex);
    announcedPort = port;
}

quint16 UDPSendThread::extendedPort(const QString &ip) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return extendedPeers.value(ip, ExtendedPeer{0, 0, {}}).port;
}

Fingerprint UDPSendThread::extendedFingerprint(const QString &ip) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return extendedPeers.value(ip, ExtendedPeer{0, 0, {}}).fingerprint;
}

void UDPSendThread::begin()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        peers.clear();
        extendedPeers.clear();
    }
    // What a chooser still shows from the last run is gone as well.
    if (listening())
        toOwner.post([this] { emit userListUpdate(QStringList()); });
    clock.start();
    changed = false;
    context = std::make_unique<QObject>();
    // The extended protocol is announced on a port of its own, which peers that know only the
    // presence texts never listen on. Its socket joins first: a receiver's extended announcement
    // leaves before its presence text, so whatever presence text is heard here, the announcement
    // before it was heard too, and the chooser never lists another copy as a plain receiver.
    extended = joinedSocket(ExtendedProtocol::udpPort);
    presence = joinedSocket(presencePort);
    auto *announcer = new QTimer(context.get());
    connect(announcer, &QTimer::timeout, context.get(), [this] { announce(); });
    announcer->start(announcementPeriodMs);
    auto *beat = new QTimer(context.get());
    connect(beat, &QTimer::timeout, context.get(), [this] { takeIn(); });
    beat->start(listPeriodMs);
    announce();
}

// Linux hands multicast only to sockets bound to the wildcard address; Windows and macOS accept
// that too. Joining and sending on the interface that holds the local address makes an
// announcement leave by the interface whose address it carries.
std::unique_ptr<QUdpSocket> UDPSendThread::joinedSocket(quint16 port) const
{
    const QHostAddress group(QString::fromLatin1(groupAddress));
    auto socket = std::make_unique<QUdpSocket>();
    socket->bind(QHostAddress::AnyIPv4, port,
                 QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    socket->setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
    const QNetworkInterface iface = interfaceHolding(localAddress);
    if (iface.isValid()) {
        socket->setMulticastInterface(iface);
        socket->joinMulticastGroup(group, iface);
    } else {
        socket->joinMulticastGroup(group);
    }
    return socket;
}

void UDPSendThread::end()
{
    presence.reset();
    extended.reset();
    context.reset();
    qDebug() << "退出UDP线程";
    toOwner.settle();
}

void UDPSendThread::announce()
{
    QString name;
    quint16 port;
    Fingerprint own;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (listenMode)
            return;
        name = userName;
        port = announcedPort;
        own = fingerprint;
    }
    // Nobody could reach an announcement without an address or with a broken name.
    if (localAddress.isNull() || !SettingsKeys::isValidUserName(name))
        return;
    const QHostAddress group(QString::fromLatin1(groupAddress));
    // The extended announcement goes first: a chooser that lists this machine on the presence
    // text has heard it then, and a quick pick never takes another copy for one in the clear.
    if (port != 0)
        extended->writeDatagram(Announcement::make(localIp, port, own), group,
                                ExtendedProtocol::udpPort);
    presence->writeDatagram(
        (name + QLatin1Char(':') + localIp + QLatin1String(":receive")).toUtf8(), group,
        presencePort);
}

// An announcer drops what reaches it, so its socket buffer never fills.
void UDPSendThread::takeInDatagrams()
{
    const bool keep = listening();
    const qint64 nowMs = clock.elapsed();
    readEach(*presence, [&](const QByteArray &datagram, const QHostAddress &source) {
        if (!keep)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        changed = peers.take(datagram, source, nowMs) || changed;
    });
}

// Like the presence texts, an extended announcement counts only from the address it names, and
// only for as long as it is repeated. It may name the receiving installation too.
void UDPSendThread::takeInExtended()
{
    const bool keep = listening();
    const qint64 nowMs = clock.elapsed();
    readEach(*extended, [&](const QByteArray &datagram, const QHostAddress &source) {
        QString address;
        ExtendedPeer peer{0, nowMs, {}};
        if (!keep || datagram.size() > PresenceList::maxDatagramSize ||
            !Announcement::parse(datagram, &address, &peer.port, &peer.fingerprint) ||
            QHostAddress(source.toIPv4Address()) != QHostAddress(address))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        const auto known = extendedPeers.constFind(address);
        if (known == extendedPeers.constEnd() && extendedPeers.size() >= PresenceList::maxEntries)
            return;
        // The chooser shows what a receiver announced here, so a change goes out with the list.
        changed = changed || known == extendedPeers.constEnd() || known->port != peer.port ||
                  known->fingerprint != peer.fingerprint;
        extendedPeers.insert(address, peer);
    });
}

// Takes in what arrived, drops the receivers gone silent and sends the list out if it changed.
void UDPSendThread::takeIn()
{
    takeInDatagrams();
    takeInExtended();
    if (!listening())
        return;
    const qint64 nowMs = clock.elapsed();
    QStringList snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = extendedPeers.begin(); it != extendedPeers.end();) {
            const bool gone = nowMs - it->lastHeard > PresenceList::expiryMs;
            changed = changed || gone;
            it = gone ? extendedPeers.erase(it) : std::next(it);
        }
        changed = peers.expire(nowMs) || changed;
        if (!changed)
            return;
        changed = false;
        snapshot = peers.texts();
    }
    toOwner.post([this, snapshot] { emit userListUpdate(snapshot); });
}
