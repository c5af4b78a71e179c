#include "protocol/udpsendthread.h"

#include "protocol/extendedprotocol.h"
#include "settings/settingskeys.h"

#include <QDebug>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QVariant>

#include <chrono>

namespace {

const char groupAddress[] = "224.0.0.1";
// A UDP "connect" only consults the routing table, so any public IPv4 address serves and nothing
// is sent to it. IPv4, so that the address learnt is dotted and carries no ":".
const char routeProbeAddress[] = "8.8.8.8";
const quint16 routeProbePort = 53;
const std::chrono::milliseconds announcementPeriod(1000);
// A listener reads what has arrived this often, so that a burst never outgrows the socket buffer
// and a stop is seen at once.
const std::chrono::milliseconds slice(100);
// Bounds the work of one slice under a flood; the system drops what does not fit its buffer.
const int maxDatagramsPerSlice = 1000;

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
template <typename Take>
void readEach(QUdpSocket &socket, const std::atomic<bool> &stop, const Take &take)
{
    char buffer[PresenceList::maxDatagramSize + 1];
    for (int i = 0; i < maxDatagramsPerSlice && !stop && socket.hasPendingDatagrams(); ++i) {
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

void UDPSendThread::stopThread()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    wake.notify_all();
    if (QThread::currentThread() == this)
        return; // the loop sees the flag as soon as this returns
    wait();
    std::lock_guard<std::mutex> lock(mutex);
    stopRequested = false;
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
    return extendedPeers.value(ip, ExtendedPeer{0, 0}).port;
}

void UDPSendThread::run()
{
    bool listening;
    {
        std::lock_guard<std::mutex> lock(mutex);
        peers.clear();
        extendedPeers.clear();
        listening = listenMode;
    }
    // What a chooser still shows from the last run is gone as well.
    if (listening)
        emit userListUpdate(QStringList());
    const QHostAddress group(QString::fromLatin1(groupAddress));

    // Linux hands multicast only to sockets bound to the wildcard address; Windows and macOS
    // accept that too. Joining and sending on the interface that holds the local address makes
    // an announcement leave by the interface whose address it carries.
    QUdpSocket socket;
    socket.bind(QHostAddress::AnyIPv4, presencePort,
                QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    socket.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
    const QNetworkInterface iface = interfaceHolding(localAddress);
    if (iface.isValid()) {
        socket.setMulticastInterface(iface);
        socket.joinMulticastGroup(group, iface);
    } else {
        socket.joinMulticastGroup(group);
    }
    // The extended protocol is announced on a port of its own, which peers that know only the
    // presence texts never listen on.
    QUdpSocket extended;
    extended.bind(QHostAddress::AnyIPv4, ExtendedProtocol::udpPort,
                  QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    extended.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
    if (iface.isValid()) {
        extended.setMulticastInterface(iface);
        extended.joinMulticastGroup(group, iface);
    } else {
        extended.joinMulticastGroup(group);
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    Clock::time_point nextAnnouncement = started;
    while (!stopRequested) {
        const Clock::time_point now = Clock::now();
        bool listen;
        QString name;
        quint16 port;
        {
            std::lock_guard<std::mutex> lock(mutex);
            listen = listenMode;
            name = userName;
            port = announcedPort;
        }
        if (!listen && now >= nextAnnouncement) {
            // Nobody could reach an announcement without an address or with a broken name.
            if (!localAddress.isNull() && SettingsKeys::isValidUserName(name)) {
                socket.writeDatagram(
                    (name + QLatin1Char(':') + localIp + QLatin1String(":receive")).toUtf8(), group,
                    presencePort);
                if (port != 0)
                    extended.writeDatagram(ExtendedProtocol::announcement(localIp, port), group,
                                           ExtendedProtocol::udpPort);
            }
            nextAnnouncement += announcementPeriod;
            if (nextAnnouncement <= now) // fell behind, e.g. while the machine slept
                nextAnnouncement = now + announcementPeriod;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - started);
        takeInDatagrams(socket, listen, elapsed.count());
        takeInExtended(extended, listen, elapsed.count());
        if (!waitForNextSlice())
            break;
    }

    qDebug() << "退出UDP线程";
    // The stop has been honoured; the next start() must run.
    std::lock_guard<std::mutex> lock(mutex);
    stopRequested = false;
}

// An announcer drops what reaches it, so its socket buffer never fills.
void UDPSendThread::takeInDatagrams(QUdpSocket &socket, bool keep, qint64 nowMs)
{
    bool changed = false;
    readEach(socket, stopRequested, [&](const QByteArray &datagram, const QHostAddress &source) {
        if (!keep)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        changed = peers.take(datagram, source, nowMs) || changed;
    });
    if (!keep)
        return;
    QStringList snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        changed = peers.expire(nowMs) || changed;
        if (!changed)
            return;
        snapshot = peers.texts();
    }
    emit userListUpdate(snapshot);
}

// Like the presence texts, an extended announcement counts only from the address it names, and
// only for as long as it is repeated.
void UDPSendThread::takeInExtended(QUdpSocket &socket, bool keep, qint64 nowMs)
{
    readEach(socket, stopRequested, [&](const QByteArray &datagram, const QHostAddress &source) {
        QString address;
        quint16 port = 0;
        if (!keep || datagram.size() > PresenceList::maxDatagramSize ||
            !ExtendedProtocol::parseAnnouncement(datagram, &address, &port) ||
            QHostAddress(source.toIPv4Address()) != QHostAddress(address))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        if (extendedPeers.contains(address) || extendedPeers.size() < PresenceList::maxEntries)
            extendedPeers.insert(address, ExtendedPeer{port, nowMs});
    });
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = extendedPeers.begin(); it != extendedPeers.end();) {
        if (nowMs - it->lastHeard > PresenceList::expiryMs)
            it = extendedPeers.erase(it);
        else
            ++it;
    }
}

// Waits one slice, or less when a stop is requested; false when the loop is to end.
bool UDPSendThread::waitForNextSlice()
{
    std::unique_lock<std::mutex> lock(mutex);
    return !wake.wait_for(lock, slice, [this] { return stopRequested.load(); });
}
