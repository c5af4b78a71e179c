// Runs only inside the namespace that tests/netns.sh makes for it: the threads under test send
// multicast, and some cases change the namespace's own routes.
#include "protocol/announcement.h"
#include "protocol/extendedprotocol.h"
#include "protocol/presencelist.h"
#include "protocol/udpsendthread.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

const QHostAddress group(QStringLiteral("224.0.0.1"));

QString linkName()
{
    return qEnvironmentVariable("NUBO_NETNS_IF");
}

QHostAddress linkAddress()
{
    return QHostAddress(qEnvironmentVariable("NUBO_NETNS_ADDR"));
}

// A second address on the link, as the source of a second receiver.
const QHostAddress otherAddress(QStringLiteral("10.77.0.11"));

QNetworkInterface link()
{
    return QNetworkInterface::interfaceFromName(linkName());
}

// The debug log, collected from every thread.
std::mutex logMutex;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;

void collectMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        std::lock_guard<std::mutex> lock(logMutex);
        logLines.append(message);
    }
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
        previousHandler(type, context, message);
    else
        fprintf(stderr, "%s\n", qPrintable(message));
}

int exitLines()
{
    std::lock_guard<std::mutex> lock(logMutex);
    return logLines.count(QStringLiteral("退出UDP线程"));
}

// Packets that left by the test link, from the namespace's own view of its devices.
qint64 packetsSent()
{
    QFile dev(QStringLiteral("/proc/net/dev"));
    if (!dev.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = linkName().toLatin1() + ':';
    for (const QByteArray &line : dev.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith(prefix)) {
            const QList<QByteArray> fields = trimmed.mid(prefix.size()).simplified().split(' ');
            return fields.value(9).toLongLong(); // after 8 receive columns: bytes, packets
        }
    }
    return -1;
}

// Bytes waiting in every socket bound to the presence port.
qint64 bytesQueuedOnPresencePort()
{
    QFile udp(QStringLiteral("/proc/net/udp"));
    if (!udp.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray port =
        ':' + QByteArray::number(UDPSendThread::presencePort, 16).toUpper().rightJustified(4, '0');
    qint64 total = 0;
    for (const QByteArray &line : udp.readAll().split('\n').mid(1)) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 4 && fields.at(1).endsWith(port))
            total += fields.at(4).split(':').value(1).toLongLong(nullptr, 16);
    }
    return total;
}

bool runIp(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments) == 0;
}

// A socket of the test's own on the presence port, to see what is really sent.
class GroupSocket
{
public:
    GroupSocket()
    {
        clock.start();
        socket.bind(QHostAddress::AnyIPv4, UDPSendThread::presencePort,
                    QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
        socket.joinMulticastGroup(group, link());
    }
    bool isReady() const { return socket.state() == QAbstractSocket::BoundState; }

    // Reads what has arrived; returns how many datagrams were taken in so far.
    int collect()
    {
        while (socket.hasPendingDatagrams()) {
            datagrams.append(socket.receiveDatagram());
            arrivals.append(clock.elapsed());
        }
        return datagrams.size();
    }

    QList<QNetworkDatagram> datagrams;
    QList<qint64> arrivals; // ms since the socket was made

private:
    QUdpSocket socket;
    QElapsedTimer clock;
};

// Sends to the group from an ordinary port, as another machine's receiver would; from the link's
// own address unless another is given.
void sendToGroup(const QList<QByteArray> &datagrams, const QHostAddress &from = QHostAddress(),
                 quint16 port = UDPSendThread::presencePort)
{
    QUdpSocket sender;
    sender.bind(from.isNull() ? QHostAddress(QHostAddress::AnyIPv4) : from, 0);
    sender.setMulticastInterface(link());
    sender.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
    for (const QByteArray &datagram : datagrams)
        sender.writeDatagram(datagram, group, port);
}

// Records every userListUpdate as it is emitted, in the thread that owns the presence thread.
class UpdateLog
{
public:
    // Made before the thread it follows, so that it outlives the thread's last emission.
    void follow(UDPSendThread &thread)
    {
        QObject::connect(
            &thread, &UDPSendThread::userListUpdate, &thread,
            [this](const QStringList &list) {
                std::lock_guard<std::mutex> lock(mutex);
                list_.append(list);
            },
            Qt::DirectConnection);
    }
    QList<QStringList> updates() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        list_.clear();
    }

private:
    mutable std::mutex mutex;
    QList<QStringList> list_;
};

QList<QByteArray> repeated(const QByteArray &datagram, int count)
{
    QList<QByteArray> list;
    for (int i = 0; i < count; ++i)
        list.append(datagram);
    return list;
}

QByteArray announcementOf(const QString &name, const QHostAddress &address = linkAddress())
{
    return (name + QLatin1Char(':') + address.toString() + QLatin1String(":receive")).toUtf8();
}

std::unique_ptr<UDPSendThread> startAnnouncer(const QString &name)
{
    auto thread = std::make_unique<UDPSendThread>();
    thread->setUserName(name);
    thread->setListenMode(false);
    thread->start();
    return thread;
}

// Starts a listener and returns once it is known to take in datagrams, with an empty list.
// Markers sent before its socket was joined are lost, so a new one goes out until one is heard.
bool startListening(UDPSendThread &thread, UpdateLog &log)
{
    thread.setListenMode(true);
    thread.start();
    for (int attempt = 0; attempt < 10; ++attempt) {
        const QString marker =
            QString::fromUtf8(announcementOf(QStringLiteral("marker%1").arg(attempt)));
        sendToGroup({marker.toUtf8()});
        if (QTest::qWaitFor(
                [&] { return !log.updates().isEmpty() && log.updates().last().contains(marker); },
                1500)) {
            thread.userListRefresh();
            log.clear();
            return true;
        }
    }
    return false;
}

} // namespace

class TestUDPSendThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void probeFindsTheLinkAddress();
    void probeFallsBack_data();
    void probeFallsBack();
    void announcementBytes_data();
    void announcementBytes();
    void badNameIsNotAnnounced_data();
    void badNameIsNotAnnounced();
    void listenerHearsAnnouncer();
    void listenerNeverSends();
    void extendedPortIsAnnouncedApart();
    void fingerprintIsTakenFromTheAnnouncement();
    void announcerKeepsNothing();
    void listenerTakesOnlyTheSendersOwnAddress_data();
    void listenerTakesOnlyTheSendersOwnAddress();
    void listIsBoundedAndForgetsSilentReceivers();
    void silentReceiverGoes();
    void refreshEmptiesTheList();
    void stopTakesEffectAtOnce_data();
    void stopTakesEffectAtOnce();
    void stopDuringStartStillStops();
    void startRightAfterStopRuns();
    void restartClearsTheList();
    void destructorStopsTheLoop();
    void floodIsTakenInAndCoalesced();
    void listUsedFromBothThreads();
};

void TestUDPSendThread::initTestCase()
{
    // Never on the machine's own interfaces: only lo and the link netns.sh made may exist.
    QStringList names;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces())
        names.append(iface.name());
    names.sort();
    QStringList expected({linkName(), QStringLiteral("lo")});
    expected.sort();
    if (linkName().isEmpty() || names != expected)
        QFAIL("run this test through tests/netns.sh host");
    QVERIFY(!linkAddress().isNull());
    // Secondary, so that the link's own address stays the source the system picks.
    QVERIFY(runIp({"addr", "add", otherAddress.toString() + "/24", "dev", linkName()}));
    previousHandler = qInstallMessageHandler(collectMessage);
}

void TestUDPSendThread::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void TestUDPSendThread::probeFindsTheLinkAddress()
{
    const qint64 sentBefore = packetsSent();
    QVERIFY(sentBefore >= 0);
    QElapsedTimer clock;
    clock.start();
    const QHostAddress probed = UDPSendThread::probeLocalAddress();
    const UDPSendThread thread;
    const qint64 elapsed = clock.elapsed();
    qInfo("probe and constructor took %lld ms", elapsed);

    QCOMPARE(probed, linkAddress());
    QVERIFY(!probed.isLoopback());
    QCOMPARE(probed.protocol(), QAbstractSocket::IPv4Protocol);
    QCOMPARE(thread.localAddress, linkAddress());
    QCOMPARE(thread.localIp, qEnvironmentVariable("NUBO_NETNS_ADDR"));
    QVERIFY2(elapsed < 500, qPrintable(QString::number(elapsed)));
    QCOMPARE(packetsSent(), sentBefore);
}

void TestUDPSendThread::probeFallsBack_data()
{
    QTest::addColumn<QStringList>("breakCommand");
    QTest::addColumn<QString>("expectedIp");

    QTest::newRow("no default route")
        << QStringList({"route", "del", "default"}) << qEnvironmentVariable("NUBO_NETNS_ADDR");
    QTest::newRow("link down") << QStringList({"link", "set", linkName(), "down"}) << QString();
}

void TestUDPSendThread::probeFallsBack()
{
    QFETCH(QStringList, breakCommand);
    QFETCH(QString, expectedIp);

    QVERIFY(runIp(breakCommand));
    QElapsedTimer clock;
    clock.start();
    const UDPSendThread thread;
    const qint64 elapsed = clock.elapsed();
    const bool restored = runIp({"link", "set", linkName(), "up"}) &&
                          runIp({"route", "replace", "default", "dev", linkName()});
    QVERIFY(restored);

    QCOMPARE(thread.localIp, expectedIp);
    QCOMPARE(thread.localAddress.isNull(), expectedIp.isEmpty());
    QVERIFY2(elapsed < 500, qPrintable(QString::number(elapsed)));
    QCOMPARE(UDPSendThread::probeLocalAddress(), linkAddress());
}

void TestUDPSendThread::announcementBytes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray address = qgetenv("NUBO_NETNS_ADDR");
    QTest::newRow("default name") << QString() << "ruvak:" + address + ":receive";
    QTest::newRow("chinese name") << QStringLiteral("张三")
                                  << "\xe5\xbc\xa0\xe4\xb8\x89:" + address + ":receive";
    QTest::newRow("name with spaces")
        << QStringLiteral("my laptop") << "my laptop:" + address + ":receive";
}

void TestUDPSendThread::announcementBytes()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, expected);

    GroupSocket observer;
    QVERIFY(observer.isReady());
    UDPSendThread thread;
    if (!name.isEmpty())
        thread.setUserName(name);
    // The extended protocol's announcement goes elsewhere and leaves these bytes alone.
    thread.setExtendedPort(ExtendedProtocol::tcpPort);
    QElapsedTimer clock;
    clock.start();
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= 1, 1000);
    const qint64 first = clock.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= 2, 2000);
    const qint64 interval = observer.arrivals.at(1) - observer.arrivals.at(0);
    thread.stopThread();

    QVERIFY2(first < 500, qPrintable(QString::number(first)));
    QVERIFY2(interval > 700 && interval < 1500, qPrintable(QString::number(interval)));
    for (const QNetworkDatagram &datagram : qAsConst(observer.datagrams)) {
        QCOMPARE(datagram.data(), expected);
        // Sent by the interface whose address it carries.
        QCOMPARE(QHostAddress(datagram.senderAddress().toIPv4Address()), linkAddress());
        QCOMPARE(datagram.destinationAddress(), group);
        QCOMPARE(datagram.hopLimit(), 1); // stays on the local segment
    }
}

void TestUDPSendThread::badNameIsNotAnnounced_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("colon") << QString::fromUtf8("张:三");
    QTest::newRow("blank") << " ";
    QTest::newRow("line feed") << "a\nb";
}

// A bad name kept from an older config.ini: silent until it is fixed.
void TestUDPSendThread::badNameIsNotAnnounced()
{
    QFETCH(QString, name);

    GroupSocket observer;
    QVERIFY(observer.isReady());
    UDPSendThread thread;
    thread.setUserName(name);
    thread.start();
    // Two announcements of a witness started after it span at least one of its cycles.
    const auto witness = startAnnouncer(QStringLiteral("witness"));
    QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= 2, 3000);
    for (const QNetworkDatagram &datagram : qAsConst(observer.datagrams))
        QCOMPARE(datagram.data(), announcementOf(QStringLiteral("witness")));

    thread.setUserName(QStringLiteral("fixed"));
    const auto fixedHeard = [&] {
        observer.collect();
        for (const QNetworkDatagram &datagram : qAsConst(observer.datagrams)) {
            if (datagram.data() == announcementOf(QStringLiteral("fixed")))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(fixedHeard(), 2500);
}

void TestUDPSendThread::listenerHearsAnnouncer()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    listener.setListenMode(true);
    listener.start();
    const auto announcer = startAnnouncer(QStringLiteral("alice"));
    const QString expected =
        QStringLiteral("alice:") + qEnvironmentVariable("NUBO_NETNS_ADDR") + ":receive";

    // The first update empties what a chooser kept from an earlier run.
    QTRY_COMPARE_WITH_TIMEOUT(log.updates().size(), 2, 3000);
    QCOMPARE(log.updates().first(), QStringList());
    QCOMPARE(log.updates().last(), QStringList({expected}));
    QCOMPARE(listener.userList(), QStringList({expected}));
}

void TestUDPSendThread::listenerNeverSends()
{
    GroupSocket observer;
    QVERIFY(observer.isReady());
    UpdateLog log;
    UDPSendThread listener;
    listener.setUserName(QStringLiteral("quiet"));
    log.follow(listener);
    QVERIFY(startListening(listener, log));
    const qint64 sentBefore = packetsSent();
    const auto announcer = startAnnouncer(QStringLiteral("loud"));

    // Three announcements span two whole cycles of the listener.
    QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= 4, 4000); // the marker and three
    announcer->stopThread();
    observer.collect();
    QVERIFY(listener.isRunning());
    const qint64 sent = packetsSent() - sentBefore;

    int announcements = 0;
    for (const QNetworkDatagram &datagram : qAsConst(observer.datagrams)) {
        QVERIFY2(!datagram.data().startsWith("quiet"), datagram.data().constData());
        if (datagram.data() == announcementOf(QStringLiteral("loud")))
            ++announcements;
    }
    QCOMPARE(sent, qint64(announcements));
}

void TestUDPSendThread::extendedPortIsAnnouncedApart()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    QVERIFY(startListening(listener, log));
    const QString here = linkAddress().toString();
    // Counts only from the address it names.
    QUdpSocket forger;
    forger.setMulticastInterface(link());
    forger.writeDatagram(Announcement::make(QStringLiteral("10.9.9.9"), 5555, Fingerprint()), group,
                         ExtendedProtocol::udpPort);

    auto announcer = std::make_unique<UDPSendThread>();
    announcer->setUserName(QStringLiteral("alice"));
    announcer->setExtendedPort(4242);
    announcer->start();
    QTRY_COMPARE_WITH_TIMEOUT(listener.extendedPort(here), quint16(4242), 3000);
    QCOMPARE(listener.extendedPort(QStringLiteral("10.9.9.9")), quint16(0));
    QCOMPARE(listener.userList(), QStringList({QString::fromUtf8(announcementOf("alice"))}));

    // A receiver that stops announcing it is taken for a plain one again.
    announcer->stopThread();
    QTRY_COMPARE_WITH_TIMEOUT(listener.extendedPort(here), quint16(0),
                              int(PresenceList::expiryMs) + 3000);
}

// A receiver may name its installation beside its port; the chooser hears of each change.
void TestUDPSendThread::fingerprintIsTakenFromTheAnnouncement()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    QVERIFY(startListening(listener, log));
    const QString here = linkAddress().toString();
    Fingerprint named = Fingerprint::fromHex(QByteArray(64, 'e'));
    for (const QByteArray &datagram :
         {Announcement::make(here, 4343, named), Announcement::make(here, 4343, Fingerprint())}) {
        const int updates = log.updates().size();
        sendToGroup({datagram}, QHostAddress(), ExtendedProtocol::udpPort);
        QTRY_VERIFY(listener.extendedFingerprint(here) == named &&
                    listener.extendedPort(here) == 4343 && log.updates().size() > updates);
        named = Fingerprint(); // the form without one comes next
    }
}

void TestUDPSendThread::announcerKeepsNothing()
{
    // The count of waiting bytes works: an idle socket on the port holds a burst.
    {
        GroupSocket idle;
        QVERIFY(idle.isReady());
        sendToGroup(repeated("someone:10.1.1.1:receive", 20));
        QTRY_VERIFY(bytesQueuedOnPresencePort() > 0);
    }
    QTRY_COMPARE(bytesQueuedOnPresencePort(), qint64(0));

    UpdateLog log;
    const auto announcer = startAnnouncer(QStringLiteral("alice"));
    log.follow(*announcer);
    {
        GroupSocket observer; // until the announcer's socket is surely open
        QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= 1, 2500);
    }
    sendToGroup(repeated("someone:10.1.1.1:receive", 20));
    // Its own announcements reach its socket as well; it drops them all in its next cycle.
    QTRY_COMPARE_WITH_TIMEOUT(bytesQueuedOnPresencePort(), qint64(0), 2500);
    QVERIFY(announcer->isRunning());
    QVERIFY(announcer->userList().isEmpty());
    QVERIFY(log.updates().isEmpty());
}

void TestUDPSendThread::listenerTakesOnlyTheSendersOwnAddress_data()
{
    QTest::addColumn<QList<QByteArray>>("datagrams"); // all sent from the link's address
    QTest::addColumn<QStringList>("expected");

    const QByteArray own = linkAddress().toString().toUtf8();
    const QString bob = QStringLiteral("bob:%1:receive").arg(linkAddress().toString());
    // Name lengths that make the whole datagram 1024 and 1025 bytes.
    const QByteArray longest = QByteArray(1024 - own.size() - 9, 'n') + ':' + own + ":receive";
    const QByteArray tooLong = 'n' + longest;

    QTest::newRow("own address") << QList<QByteArray>({bob.toUtf8()}) << QStringList({bob});
    QTest::newRow("same text three times")
        << QList<QByteArray>({bob.toUtf8(), bob.toUtf8(), bob.toUtf8()}) << QStringList({bob});
    QTest::newRow("renamed") << QList<QByteArray>({"bobby:" + own + ":receive", bob.toUtf8()})
                             << QStringList({bob});
    QTest::newRow("address of another host")
        << QList<QByteArray>({"mallory:10.77.0.99:receive"}) << QStringList();
    QTest::newRow("address of the other receiver")
        << QList<QByteArray>({"mallory:" + otherAddress.toString().toUtf8() + ":receive"})
        << QStringList();
    QTest::newRow("host name") << QList<QByteArray>({"mallory:localhost:receive"}) << QStringList();
    QTest::newRow("zero-padded address")
        << QList<QByteArray>({"mallory:010.077.000.010:receive"}) << QStringList();
    QTest::newRow("no address") << QList<QByteArray>({"hello", "ruvak::receive"}) << QStringList();
    QTest::newRow("nul inside") << QList<QByteArray>({bob.toUtf8() + QByteArray("\0xyz", 4)})
                                << QStringList({bob});
    QTest::newRow("1 KiB") << QList<QByteArray>({longest})
                           << QStringList({QString::fromUtf8(longest)});
    QTest::newRow("1 KiB and a byte") << QList<QByteArray>({tooLong}) << QStringList();
}

void TestUDPSendThread::listenerTakesOnlyTheSendersOwnAddress()
{
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(QStringList, expected);

    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    QVERIFY(startListening(listener, log));
    sendToGroup(datagrams);
    // The socket keeps the order, so once a later one is in, all before it have been seen.
    const QString last = QString::fromUtf8(announcementOf(QStringLiteral("last"), otherAddress));
    sendToGroup({last.toUtf8()}, otherAddress);
    QTRY_VERIFY_WITH_TIMEOUT(listener.userList().contains(last), 2500);
    QCOMPARE(listener.userList(), expected + QStringList({last}));
    // The list reaches the log through this thread's events, which the wait above need not run.
    QTRY_COMPARE(log.updates().value(log.updates().size() - 1), expected + QStringList({last}));
}

void TestUDPSendThread::listIsBoundedAndForgetsSilentReceivers()
{
    const auto source = [](int i) {
        return QHostAddress(QStringLiteral("10.0.%1.%2").arg(i / 200).arg(i % 200 + 1));
    };
    const auto text = [&](int i) {
        return QStringLiteral("peer%1:%2:receive").arg(i).arg(source(i).toString());
    };
    PresenceList list;
    for (int i = 0; i < 300; ++i)
        QCOMPARE(list.take(text(i).toUtf8(), source(i), 0), i < PresenceList::maxEntries);
    const QStringList texts = list.texts();
    QCOMPARE(texts.size(), PresenceList::maxEntries);
    QCOMPARE(texts.first(), text(0));
    QCOMPARE(texts.last(), text(PresenceList::maxEntries - 1));

    QVERIFY(!list.take(text(10).toUtf8(), source(10), 4000)); // heard again, nothing new
    QVERIFY(!list.expire(PresenceList::expiryMs - 1));
    QVERIFY(list.expire(PresenceList::expiryMs));
    QCOMPARE(list.texts(), QStringList({text(10)}));
    // Room again for those that were turned away.
    QVERIFY(list.take(text(299).toUtf8(), source(299), PresenceList::expiryMs));
    QVERIFY(list.expire(4000 + PresenceList::expiryMs));
    QCOMPARE(list.texts(), QStringList({text(299)}));
}

void TestUDPSendThread::silentReceiverGoes()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    QVERIFY(startListening(listener, log));
    auto announcer = startAnnouncer(QStringLiteral("alice"));
    const QStringList alice({QString::fromUtf8(announcementOf(QStringLiteral("alice")))});
    QTRY_COMPARE_WITH_TIMEOUT(listener.userList(), alice, 3000);

    announcer.reset();
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(listener.userList().isEmpty(), 8000);
    // Its last announcement went out less than a second before it stopped.
    QVERIFY2(clock.elapsed() >= PresenceList::expiryMs - 1000,
             qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(log.updates().value(log.updates().size() - 1), QStringList());
}

void TestUDPSendThread::refreshEmptiesTheList()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    listener.setListenMode(true);
    listener.start();
    const auto announcer = startAnnouncer(QStringLiteral("alice"));
    const QStringList alice({QString::fromUtf8(announcementOf(QStringLiteral("alice")))});
    QTRY_COMPARE_WITH_TIMEOUT(log.updates().size(), 2, 3000);

    listener.userListRefresh();
    QVERIFY(listener.userList().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(log.updates().size(), 3, 2500);
    QCOMPARE(log.updates().last(), alice);
    QCOMPARE(listener.userList(), alice);
}

void TestUDPSendThread::stopTakesEffectAtOnce_data()
{
    QTest::addColumn<bool>("listen");
    QTest::newRow("announcer") << false;
    QTest::newRow("listener") << true;
}

void TestUDPSendThread::stopTakesEffectAtOnce()
{
    QFETCH(bool, listen);

    UpdateLog log;
    UDPSendThread thread;
    log.follow(thread);
    GroupSocket observer;
    if (listen) {
        QVERIFY(startListening(thread, log));
    } else {
        thread.start();
        QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= 1, 1000);
    }
    const int exitsBefore = exitLines();

    QElapsedTimer clock;
    clock.start();
    thread.stopThread();
    const qint64 elapsed = clock.elapsed();
    qInfo("stopThread took %lld ms", elapsed);

    QVERIFY(thread.isFinished());
    QVERIFY2(elapsed < 200, qPrintable(QString::number(elapsed)));
    QCOMPARE(exitLines(), exitsBefore + 1);
}

void TestUDPSendThread::stopDuringStartStillStops()
{
    UDPSendThread thread;
    const int exitsBefore = exitLines();
    for (int i = 0; i < 20; ++i) {
        thread.start();
        thread.stopThread();
        QVERIFY(thread.isFinished());
    }
    QCOMPARE(exitLines(), exitsBefore + 20);
}

void TestUDPSendThread::startRightAfterStopRuns()
{
    GroupSocket observer;
    QVERIFY(observer.isReady());
    UDPSendThread thread;
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= 1, 1000);
    for (int i = 0; i < 20; ++i) {
        thread.stopThread();
        thread.start();
    }
    const int heard = observer.collect();
    // Each start announces at once, and the last run goes on announcing.
    QTRY_VERIFY_WITH_TIMEOUT(observer.collect() >= heard + 2, 3000);
    QVERIFY(thread.isRunning());
}

void TestUDPSendThread::restartClearsTheList()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    listener.setListenMode(true);
    listener.start();
    {
        const auto alice = startAnnouncer(QStringLiteral("alice"));
        QTRY_COMPARE_WITH_TIMEOUT(listener.userList().size(), 1, 3000);
    }
    listener.stopThread();
    QCOMPARE(listener.userList().size(), 1);
    listener.start();
    QTRY_VERIFY(listener.userList().isEmpty());

    const auto bob = startAnnouncer(QStringLiteral("bob"));
    const QStringList expected({QString::fromUtf8(announcementOf(QStringLiteral("bob")))});
    QTRY_COMPARE_WITH_TIMEOUT(listener.userList(), expected, 3000);
    QTRY_COMPARE(log.updates().value(log.updates().size() - 1), expected);
}

void TestUDPSendThread::destructorStopsTheLoop()
{
    UpdateLog log;
    auto thread = std::make_unique<UDPSendThread>();
    log.follow(*thread);
    QVERIFY(startListening(*thread, log)); // in its one-second wait now
    const int exitsBefore = exitLines();
    QElapsedTimer clock;
    clock.start();
    thread.reset();
    QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(exitLines(), exitsBefore + 1);
}

// Thousands of announcements at once: each is taken in, and the list goes out a few times,
// not once per datagram.
void TestUDPSendThread::floodIsTakenInAndCoalesced()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    QVERIFY(startListening(listener, log));

    QList<QByteArray> flood;
    for (int i = 0; i < 2000; ++i) {
        flood.append(announcementOf(QStringLiteral("peer%1").arg(i)));
        flood.append(QStringLiteral("peer%1:10.0.%2.%3:receive")
                         .arg(i)
                         .arg(i / 250)
                         .arg(i % 250 + 1)
                         .toUtf8());
    }
    QElapsedTimer clock;
    clock.start();
    sendToGroup(flood);
    // The socket buffer may drop part of the flood, so the end mark goes out until it is heard.
    const QString last = QString::fromUtf8(announcementOf(QStringLiteral("last"), otherAddress));
    QTRY_VERIFY_WITH_TIMEOUT(
        (sendToGroup({last.toUtf8()}, otherAddress), listener.userList().contains(last)), 3000);
    const qint64 elapsed = clock.elapsed();
    qInfo("flood of %d taken in after %lld ms, %d updates", int(flood.size()), elapsed,
          int(log.updates().size()));

    const QStringList list = listener.userList();
    QCOMPARE(list.size(), 2);
    QVERIFY2(list.first().startsWith("peer"), qPrintable(list.first()));
    QCOMPARE(list.last(), last);
    // One update per tenth of a second at most, and a margin for a slow machine.
    QVERIFY2(log.updates().size() <= elapsed / 100 + 5, qPrintable(QString::number(elapsed)));
}

// The list is read and emptied here while the worker appends a burst to it. Besides the checks
// below, this is where ThreadSanitizer sees any access that is not guarded.
void TestUDPSendThread::listUsedFromBothThreads()
{
    UpdateLog log;
    UDPSendThread listener;
    log.follow(listener);
    QVERIFY(startListening(listener, log));

    QList<QByteArray> burst;
    QList<QByteArray> otherBurst;
    for (int i = 0; i < 200; ++i) {
        burst.append(announcementOf(QStringLiteral("peer%1").arg(i)));
        otherBurst.append(announcementOf(QStringLiteral("peer%1").arg(i), otherAddress));
    }
    sendToGroup(burst);
    sendToGroup(otherBurst, otherAddress);
    QElapsedTimer clock;
    clock.start();
    int reads = 0;
    while (clock.elapsed() < 1500) {
        QStringList seen = listener.userList();
        QCOMPARE(seen.removeDuplicates(), 0);
        if (++reads % 16 == 0)
            listener.userListRefresh();
    }

    listener.userListRefresh();
    const QStringList after({QString::fromUtf8(announcementOf(QStringLiteral("after")))});
    sendToGroup({after.first().toUtf8()});
    QTRY_COMPARE_WITH_TIMEOUT(listener.userList(), after, 2500);
    QTRY_VERIFY(!log.updates().isEmpty() && log.updates().last() == after);
}

QTEST_GUILESS_MAIN(TestUDPSendThread)
#include "tst_udpsendthread.moc"
