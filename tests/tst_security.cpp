#include "security/identity.h"
#include "security/pairingcode.h"
#include "security/tlschannel.h"
#include "settings/settingskeys.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Step = TlsChannel::Step;
using Role = TlsChannel::Role;
using Side = PairingCode::Side;

const QDeadlineTimer noDeadline(QDeadlineTimer::Forever);

// A connected pair of local stream sockets, non-blocking, so that one thread steps both ends.
struct SocketPair
{
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd); }
    ~SocketPair()
    {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    int fd[2] = {-1, -1};
};

bool handshakeBoth(TlsChannel &one, TlsChannel &other)
{
    for (int round = 0; round < 100; ++round) {
        const Step first = one.handshake(noDeadline);
        const Step second = other.handshake(noDeadline);
        if (first == Step::Done && second == Step::Done)
            return true;
        if (first == Step::Failed || second == Step::Failed)
            return false;
    }
    return false;
}

// Sends `size` bytes with `send(offset)` while `to` reads them, both on this thread.
QByteArray carry(TlsChannel &to, qint64 size,
                 const std::function<TlsChannel::Transfer(qint64)> &send)
{
    QByteArray got;
    qint64 sent = 0;
    std::vector<char> buffer(1 << 16);
    for (int round = 0; round < 100000 && got.size() < size; ++round) {
        const TlsChannel::Transfer out = sent < size ? send(sent) : TlsChannel::Transfer{0, {}};
        if (out.step == Step::Failed)
            break;
        sent += out.bytes;
        TlsChannel::Transfer in{0, Step::Done};
        while ((in = to.read(buffer.data(), qint64(buffer.size()))).step == Step::Done)
            got.append(buffer.data(), int(in.bytes));
        if (in.step != Step::WantRead)
            break;
    }
    return got;
}

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((quint32(i) * 7919u) >> 5);
    return data;
}

// What the two ends show after the exchange that PairingCode describes.
QPair<QString, QString> shownCodes(const PairingCode &sender, const PairingCode &receiver)
{
    const QByteArray senderNonce = PairingCode::newNonce();
    const QByteArray commitment = sender.commitment(senderNonce);
    const QByteArray receiverNonce = PairingCode::newNonce();
    const QString atReceiver = receiver.opens(commitment, senderNonce)
                                   ? receiver.digits(senderNonce, receiverNonce)
                                   : QStringLiteral("refused");
    return {sender.digits(senderNonce, receiverNonce), atReceiver};
}

// Moves what is waiting on `from` to `to`, at most `most` bytes.
void relay(int from, int to, int most)
{
    char buffer[4096];
    const ssize_t n = ::read(from, buffer, size_t(qMin(most, int(sizeof buffer))));
    if (n > 0)
        QCOMPARE(::write(to, buffer, size_t(n)), n);
}

} // namespace

class TestSecurity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void identityIsKeptOnDisk_data();
    void identityIsKeptOnDisk();
    void channelCarriesDataBothWays_data();
    void channelCarriesDataBothWays();
    void pairingCodes_data();
    void pairingCodes();
    void badPeerFailsHandshake_data();
    void badPeerFailsHandshake();

private:
    QTemporaryDir dir;
    std::unique_ptr<Identity> sender;
    std::unique_ptr<Identity> receiver;
    std::unique_ptr<Identity> middle;
};

void TestSecurity::initTestCase()
{
    for (const char *name : {"sender", "receiver", "middle"})
        QVERIFY(QDir(dir.path()).mkdir(QLatin1String(name)));
    sender = std::make_unique<Identity>(dir.filePath(QStringLiteral("sender")));
    receiver = std::make_unique<Identity>(dir.filePath(QStringLiteral("receiver")));
    middle = std::make_unique<Identity>(dir.filePath(QStringLiteral("middle")));
    QVERIFY(sender->isValid() && receiver->isValid() && middle->isValid());
    QVERIFY(SettingsKeys::workingFolderFiles().contains(Identity::keyFileName()));
    QVERIFY(SettingsKeys::workingFolderFiles().contains(Identity::certificateFileName()));
}

void TestSecurity::identityIsKeptOnDisk_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("valid");
    QTest::newRow("second start") << "" << true;
    QTest::newRow("key missing") << "remove key" << false;
    QTest::newRow("certificate missing") << "remove certificate" << false;
    QTest::newRow("key garbled") << "garble key" << false;
    QTest::newRow("key of another installation") << "swap key" << false;
    QTest::newRow("key readable by others") << "open key" << false;
}

void TestSecurity::identityIsKeptOnDisk()
{
    QFETCH(QString, damage);
    QFETCH(bool, valid);
    QTemporaryDir folder;
    const QString key = folder.filePath(Identity::keyFileName());
    const QString certificate = folder.filePath(Identity::certificateFileName());
    // With nothing masked, a key made readable and narrowed afterwards would show here.
    const mode_t mask = ::umask(0);
    const Identity first(folder.path());
    ::umask(mask);
    QVERIFY2(first.isValid() && first.isNew(), qPrintable(first.errorString()));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(key).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
    QVERIFY(QRegularExpression(QStringLiteral("^([0-9A-F]{4} ){7}[0-9A-F]{4}$"))
                .match(first.fingerprint().readable())
                .hasMatch());
    QCOMPARE(first.fingerprint().hex().size(), 64);

    if (damage == QLatin1String("remove key") || damage == QLatin1String("swap key"))
        QVERIFY(QFile::remove(key));
    if (damage == QLatin1String("swap key"))
        QVERIFY(QFile::copy(dir.filePath(QStringLiteral("middle/identity.key")), key));
    if (damage == QLatin1String("remove certificate"))
        QVERIFY(QFile::remove(certificate));
    if (damage == QLatin1String("open key"))
        QVERIFY(::chmod(QFile::encodeName(key).constData(), 0644) == 0);
    QFile garbled(key);
    if (damage == QLatin1String("garble key"))
        QVERIFY(garbled.open(QIODevice::WriteOnly) && garbled.write("not a key\n") > 0);
    garbled.close();
    QFile before(certificate);
    const QByteArray kept = before.open(QIODevice::ReadOnly) ? before.readAll() : QByteArray();

    const Identity again(folder.path());
    QCOMPARE(again.isValid(), valid);
    QVERIFY(!again.isNew());
    QCOMPARE(again.errorString().isEmpty(), valid);
    QCOMPARE(again.fingerprint() == first.fingerprint(), valid);
    QFile after(certificate);
    QCOMPARE(after.open(QIODevice::ReadOnly) ? after.readAll() : QByteArray(), kept);
}

void TestSecurity::channelCarriesDataBothWays_data()
{
    QTest::addColumn<bool>("senderIsClient");
    QTest::newRow("sender connects") << true;
    QTest::newRow("sender accepts") << false;
}

void TestSecurity::channelCarriesDataBothWays()
{
    QFETCH(bool, senderIsClient);
    SocketPair pair;
    TlsChannel out(*sender, pair.fd[0], senderIsClient ? Role::Client : Role::Server);
    TlsChannel in(*receiver, pair.fd[1], senderIsClient ? Role::Server : Role::Client);
    QVERIFY2(handshakeBoth(out, in), qPrintable(out.errorString() + in.errorString()));
    QCOMPARE(out.peerFingerprint(), receiver->fingerprint());
    QCOMPARE(in.peerFingerprint(), sender->fingerprint());
    QCOMPARE(out.cipherName(), QStringLiteral("TLS_AES_128_GCM_SHA256"));
    QCOMPARE(TlsChannel::sendPath(),
             out.kernelSends() ? TlsChannel::SendPath::Kernel : TlsChannel::SendPath::UserSpace);

    const QByteArray data = pattern((3 << 20) + 77);
    const auto write = [&](qint64 at) {
        return out.write(data.constData() + at, data.size() - at);
    };
    QCOMPARE(carry(in, data.size(), write), data);
    const auto answer = [&](qint64 at) { return in.write(data.constData() + at, 1000 - at); };
    QCOMPARE(carry(out, 1000, answer), data.left(1000));

    QFile file(dir.filePath(QStringLiteral("file.bin")));
    QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate) &&
            file.write(data) == data.size());
    const qint64 offset = 4097;
    const qint64 length = data.size() - offset - 5;
    const auto sendFile = [&](qint64 at) {
        return out.sendFile(file.handle(), offset + at, length - at);
    };
    QCOMPARE(carry(in, length, sendFile), data.mid(offset, length));

    QCOMPARE(out.close(), Step::Done);
    char rest;
    QCOMPARE(in.read(&rest, 1).step, Step::Closed);
}

void TestSecurity::pairingCodes_data()
{
    QTest::addColumn<bool>("inTheMiddle");
    QTest::newRow("the two ends meet") << false;
    QTest::newRow("a machine in the middle") << true;
}

void TestSecurity::pairingCodes()
{
    QFETCH(bool, inTheMiddle);
    SocketPair first;
    SocketPair second;
    // In the middle, one identity ends both sessions and passes the nonces on unchanged.
    TlsChannel out(*sender, first.fd[0], Role::Client);
    TlsChannel near(inTheMiddle ? *middle : *receiver, first.fd[1], Role::Server);
    TlsChannel far(*middle, second.fd[0], Role::Client);
    TlsChannel in(*receiver, second.fd[1], Role::Server);
    QVERIFY(handshakeBoth(out, near));
    QVERIFY(!inTheMiddle || handshakeBoth(far, in));
    const PairingCode atSender = PairingCode::of(out, Side::Sender);
    const PairingCode atReceiver = PairingCode::of(inTheMiddle ? in : near, Side::Receiver);
    QVERIFY(atSender.isValid() && atReceiver.isValid());

    const QPair<QString, QString> shown = shownCodes(atSender, atReceiver);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9]{6}$")).match(shown.first).hasMatch());
    QCOMPARE(shown.first == shown.second, !inTheMiddle);
    if (inTheMiddle) {
        const PairingCode middleToReceiver = PairingCode::of(far, Side::Sender);
        const QPair<QString, QString> relayed = shownCodes(middleToReceiver, atReceiver);
        QCOMPARE(relayed.first, relayed.second);
        QVERIFY(relayed.second != shown.first);
    }
    const QByteArray nonce = PairingCode::newNonce();
    QVERIFY(!atReceiver.opens(atSender.commitment(nonce), PairingCode::newNonce()));
}

void TestSecurity::badPeerFailsHandshake_data()
{
    QTest::addColumn<bool>("testedIsServer");
    QTest::addColumn<bool>("trickles");
    QTest::newRow("plain text to a server") << true << false;
    QTest::newRow("plain text answer to a client") << false << false;
    QTest::newRow("client trickles its hello past the deadline") << true << true;
    QTest::newRow("server trickles its answer past the deadline") << false << true;
}

// The tested end talks through the test, which passes the other end's bytes one at a time or
// answers in plain text; the test, not the clock, decides when the deadline has passed.
void TestSecurity::badPeerFailsHandshake()
{
    QFETCH(bool, testedIsServer);
    QFETCH(bool, trickles);
    SocketPair near;
    SocketPair far;
    TlsChannel tested(*receiver, near.fd[0], testedIsServer ? Role::Server : Role::Client);
    TlsChannel other(*sender, far.fd[0], testedIsServer ? Role::Client : Role::Server);
    const int trickleBytes = 100;
    QDeadlineTimer deadline = noDeadline;
    int trickled = 0;
    Step step = Step::WantRead;
    for (int round = 0; round < 1000 && step != Step::Failed && step != Step::Done; ++round) {
        if (trickles) {
            QVERIFY(other.handshake(noDeadline) != Step::Failed);
            relay(near.fd[1], far.fd[1], 1 << 16);
            relay(far.fd[1], near.fd[1], 1);
            if (++trickled == trickleBytes)
                deadline = QDeadlineTimer(0);
        } else if (round == 1) {
            relay(near.fd[1], far.fd[1], 1 << 16);
            QCOMPARE(::write(near.fd[1], "HTTP/1.0 200 OK\r\n\r\n", 19), 19);
        }
        step = tested.handshake(deadline);
    }
    QCOMPARE(step, Step::Failed);
    QVERIFY(!tested.errorString().isEmpty());
    QVERIFY(tested.peerFingerprint().isNull());
    QCOMPARE(trickled, trickles ? trickleBytes : 0);
}

QTEST_GUILESS_MAIN(TestSecurity)
#include "tst_security.moc"
