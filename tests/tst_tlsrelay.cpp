#include "protocol/socketreset.h"
#include "security/loopbackpair.h"
#include "security/splicepipe.h"
#include "send/socketwait.h"

#include "testdata.h"
#include "tlspeer.h"

#include <QtTest>

#include <thread>
#include <utility>

#include <poll.h>
#include <sys/socket.h>

namespace {

const QString names[2] = {QStringLiteral("client"), QStringLiteral("server")};

// Two relays facing each other over loopback, and the plain end of each, blocking.
struct Session
{
    Session()
    {
        LoopbackPair::make(&plain[0], &plain[1]);
        for (int i : {0, 1}) {
            relays[i] = TlsRelay::start(plain[i], TlsChannel::Role(i), TlsPeer::identity(names[i]));
            ::fcntl(plain[i] = relays[i]->takePlainEnd(), F_SETFL, 0);
        }
    }
    // The relays' threads end before the next row: their last log lines name this one.
    ~Session() { ::close(plain[0]), ::close(plain[1]), TlsRelay::waitForAll(30000); }
    std::shared_ptr<TlsRelay> relays[2];
    int plain[2] = {-1, -1};
};

// Reads `fd` to its end, waiting generously: how it ended, and what came before.
SocketWait::PeerEnd readToEnd(int fd, QByteArray *into)
{
    char buffer[65536];
    for (pollfd wait = {fd, POLLIN, 0}; ::poll(&wait, 1, 30000) > 0;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0)
            return got == 0 ? SocketWait::Closed : SocketWait::Reset;
        into->append(buffer, int(got));
    }
    return SocketWait::Pending;
}

} // namespace

class TestTlsRelay : public QObject
{
    Q_OBJECT

private slots:
    void bytesCrossBothWays();
    void endsCrossAsTheyAre_data();
    void endsCrossAsTheyAre();
    void failedHandshakeDeliversNothing_data();
    void failedHandshakeDeliversNothing();
    void splicePipeMovesBytesAndEnds_data();
    void splicePipeMovesBytesAndEnds();
};

// A few MiB each way at once, each side writing from a thread and closing its half after them;
// the client learns the server's certificate.
void TestTlsRelay::bytesCrossBothWays()
{
    Session session;
    const QByteArray out[2] = {pattern(3 * 1024 * 1024 + 17, 7), pattern(5 * 1024 * 1024, 11)};
    std::thread writers[2];
    for (int i : {0, 1})
        writers[i] = std::thread([fd = session.plain[i], &bytes = out[i]] {
            for (qint64 sent = 0, n = 0; sent < bytes.size() && n >= 0; sent += n)
                n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), 0);
            ::shutdown(fd, SHUT_WR);
        });
    QByteArray in[2];
    const bool ended = readToEnd(session.plain[1], &in[1]) == SocketWait::Closed &&
                       readToEnd(session.plain[0], &in[0]) == SocketWait::Closed;
    ::shutdown(session.plain[0], SHUT_RDWR), ::shutdown(session.plain[1], SHUT_RDWR);
    writers[0].join(), writers[1].join();
    QVERIFY(ended && in[1] == out[0] && in[0] == out[1]);
    QCOMPARE(session.relays[0]->peerFingerprint(), TlsPeer::identity(names[1]).fingerprint());
}

// An orderly close arrives as the end of the stream after all that was written, and a reset
// (SO_LINGER 0) as a reset, from either side.
void TestTlsRelay::endsCrossAsTheyAre_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<bool>("reset");
    QTest::newRow("client closes") << 0 << false;
    QTest::newRow("client resets") << 0 << true;
    QTest::newRow("server closes") << 1 << false;
    QTest::newRow("server resets") << 1 << true;
}

void TestTlsRelay::endsCrossAsTheyAre()
{
    QFETCH(int, from);
    QFETCH(bool, reset);
    Session session;
    QCOMPARE(::send(session.plain[from], "last words", 10, 0), ssize_t(10));
    if (reset)
        SocketReset::arm(qintptr(session.plain[from]));
    ::close(std::exchange(session.plain[from], -1));
    QByteArray got;
    QCOMPARE(readToEnd(session.plain[1 - from], &got),
             reset ? SocketWait::Reset : SocketWait::Closed);
    QVERIFY(reset || got == "last words");
}

// A peer that does not make the handshake gets nothing through, be it one that speaks in the
// clear or one that trickles a handshake that never ends: the plain end is reset.
void TestTlsRelay::failedHandshakeDeliversNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("piece"); // sent every 50 ms until the relay gives up
    QTest::newRow("a request in the clear") << QByteArray("POST / HTTP/1.1\r\n\r\n") << 19;
    QTest::newRow("a trickling handshake")
        << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + QByteArray(500, 'r')
        << 1;
}

void TestTlsRelay::failedHandshakeDeliversNothing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, piece);
    TlsRelay::setHandshakeTime(1000);
    int ends[2] = {-1, -1};
    QVERIFY(LoopbackPair::make(&ends[0], &ends[1]));
    const auto relay =
        TlsRelay::start(ends[1], TlsChannel::Role::Server, TlsPeer::identity(names[1]));
    TlsRelay::setHandshakeTime(TlsRelay::handshakeMs);
    pollfd ended = {ends[1] = relay->takePlainEnd(), POLLIN, 0};
    for (int i = 0; i < bytes.size() && ::poll(&ended, 1, 50) == 0; i += piece)
        ::send(ends[0], bytes.constData() + i, size_t(piece), MSG_NOSIGNAL);
    QByteArray got;
    QCOMPARE(readToEnd(ends[1], &got), SocketWait::Reset);
    QVERIFY(got.isEmpty() && relay->peerFingerprint().isNull() && !relay->errorString().isEmpty());
    ::close(ends[0]), ::close(ends[1]);
    QVERIFY(TlsRelay::waitForAll(30000));
}

// What kernel TLS is given by splicing: a connection's bytes moved to another, then its end, an
// orderly one as the end and a reset as a failure.
void TestTlsRelay::splicePipeMovesBytesAndEnds_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly end") << false;
    QTest::newRow("reset") << true;
}

void TestTlsRelay::splicePipeMovesBytesAndEnds()
{
    QFETCH(bool, reset);
    int from[2], to[2];
    QVERIFY(LoopbackPair::make(&from[0], &from[1]) && LoopbackPair::make(&to[0], &to[1]));
    const QByteArray bytes = pattern(3 * 1024 * 1024, 5);
    std::thread writer([&] {
        ::fcntl(from[0], F_SETFL, 0);
        for (qint64 sent = 0, n = 0; sent < bytes.size() && n >= 0; sent += n)
            n = ::send(from[0], bytes.constData() + sent, size_t(bytes.size() - sent), 0);
        if (reset)
            SocketReset::arm(qintptr(from[0]));
        ::close(from[0]);
    });
    SplicePipe pipe;
    SplicePipe::Result last = SplicePipe::Result::Idle;
    QByteArray got;
    const auto passOn = [&] {
        char buffer[65536];
        pipe.drain(to[0]);
        for (ssize_t n; (n = ::recv(to[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            got.append(buffer, int(n));
    };
    for (pollfd wait = {from[1], POLLIN, 0}; last != SplicePipe::Result::Ended &&
                                             last != SplicePipe::Result::Broken &&
                                             ::poll(&wait, 1, 30000) > 0;) {
        last = pipe.fill(from[1]);
        passOn();
    }
    for (pollfd wait = {to[1], POLLIN, 0};
         !reset && got.size() < bytes.size() && ::poll(&wait, 1, 30000) > 0;)
        passOn();
    writer.join();
    ::close(from[1]), ::close(to[0]), ::close(to[1]);
    QCOMPARE(last, reset ? SplicePipe::Result::Broken : SplicePipe::Result::Ended);
    QVERIFY(reset || (got == bytes && pipe.size() == 0));
}

QTEST_GUILESS_MAIN(TestTlsRelay)
#include "tst_tlsrelay.moc"
