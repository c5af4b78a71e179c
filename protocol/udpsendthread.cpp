#include "protocol/udpsendthread.h"

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
const std::chrono::milliseconds cycle(1000);

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

// The text ends at the first NUL, as a peer that sends a C string would mean it. Qt 5's fromUtf8
// stops there by itself; Qt 6's would keep the rest.
QString presenceText(QByteArray datagram)
{
    const int nul = datagram.indexOf('\0');
    if (nul >= 0)
        datagram.truncate(nul);
    return QString::fromUtf8(datagram);
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
    return peers;
}

void UDPSendThread::userListRefresh()
{
    std::lock_guard<std::mutex> lock(mutex);
    peers.clear();
}

void UDPSendThread::run()
{
    QString announcement;
    {
        std::lock_guard<std::mutex> lock(mutex);
        peers.clear();
        announcement = userName + QLatin1Char(':') + localIp + QLatin1String(":receive");
    }
    const QByteArray datagram = announcement.toUtf8();
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

    while (!stopRequested) {
        bool listen;
        {
            std::lock_guard<std::mutex> lock(mutex);
            listen = listenMode;
        }
        if (!listen)
            socket.writeDatagram(datagram, group, presencePort);
        takeInDatagrams(socket, listen);
        if (!waitForNextCycle())
            break;
    }

    qDebug() << "退出UDP线程";
    // The stop has been honoured; the next start() must run.
    std::lock_guard<std::mutex> lock(mutex);
    stopRequested = false;
}

// Everything waiting is read in each cycle: reading one datagram a cycle falls behind as soon as
// two receivers announce. An announcer drops what reaches it, so its socket buffer never fills.
void UDPSendThread::takeInDatagrams(QUdpSocket &socket, bool keep)
{
    while (!stopRequested && socket.hasPendingDatagrams()) {
        QByteArray data(int(qMax<qint64>(socket.pendingDatagramSize(), 0)), Qt::Uninitialized);
        if (socket.readDatagram(data.data(), data.size()) < 0)
            break;
        if (!keep)
            continue;
        const QString text = presenceText(data);
        if (!text.isEmpty())
            addPeer(text);
    }
}

void UDPSendThread::addPeer(const QString &text)
{
    QStringList copy;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (peers.contains(text))
            return;
        peers.append(text);
        copy = peers;
    }
    emit userListUpdate(copy);
}

// Waits one cycle, or less when a stop is requested; false when the loop is to end.
bool UDPSendThread::waitForNextCycle()
{
    std::unique_lock<std::mutex> lock(mutex);
    return !wake.wait_for(lock, cycle, [this] { return stopRequested.load(); });
}
