#include "receivetest.h"
#include "security/identity.h"
#include "security/pairingcode.h"
#include "security/tlschannel.h"
#include "settings/settingskeys.h"
#include "tempworkdir.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/pem.h>

#include <memory>

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
    ~SocketPair() { ::close(fd[0]), ::close(fd[1]); }
    int fd[2] = {-1, -1};
};

bool handshakeBoth(TlsChannel &one, TlsChannel &other)
{
    Step first = Step::WantRead, second = Step::WantRead;
    for (int round = 0; round < 100 && (first != Step::Done || second != Step::Done); ++round) {
        first = one.handshake(noDeadline);
        second = other.handshake(noDeadline);
    }
    return first == Step::Done && second == Step::Done;
}

// Sends `size` bytes with `send(offset)` from `from`, whose gathered records are flushed, while
// `to` reads them, both on this thread.
template <typename Send> QByteArray carry(TlsChannel &from, TlsChannel &to, qint64 size, Send send)
{
    QByteArray got;
    std::vector<char> buffer(1 << 16);
    TlsChannel::Transfer in{0, Step::WantRead};
    for (qint64 sent = 0, round = 0;
         round < 100000 && got.size() < size && in.step == Step::WantRead; ++round) {
        sent += sent < size ? send(sent).bytes : 0;
        from.flush();
        while ((in = to.read(buffer.data(), qint64(buffer.size()))).step == Step::Done)
            got.append(buffer.data(), int(in.bytes));
    }
    return got;
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

// Gives the identity in `folder` a certificate that ran out yesterday.
void expire(const QString &folder)
{
    const Identity identity(folder);
    X509_gmtime_adj(X509_getm_notAfter(identity.x509()), -86400);
    X509_sign(identity.x509(), identity.privateKey(), nullptr);
    BioPtr file(BIO_new_file(qPrintable(folder + "/identity.crt"), "w"));
    QVERIFY(file && PEM_write_bio_X509(file.get(), identity.x509()) == 1);
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
    void keysAreRenewedOnTheWay();
    void lastWordsOutliveTheReset();
    void machineInTheMiddleGetsOtherCodes();
    void badPeerFailsHandshake_data();
    void badPeerFailsHandshake();

private:
    QTemporaryDir dir;
    std::unique_ptr<Identity> sender, receiver, middle, expired;
};

void TestSecurity::initTestCase()
{
    for (const char *name : {"sender", "receiver", "middle", "expired"})
        QVERIFY(QDir(dir.path()).mkdir(QLatin1String(name)));
    sender = std::make_unique<Identity>(dir.filePath(QStringLiteral("sender")));
    receiver = std::make_unique<Identity>(dir.filePath(QStringLiteral("receiver")));
    middle = std::make_unique<Identity>(dir.filePath(QStringLiteral("middle")));
    expire(dir.filePath(QStringLiteral("expired")));
    expired = std::make_unique<Identity>(dir.filePath(QStringLiteral("expired")));
    QVERIFY(sender->isValid() && receiver->isValid() && middle->isValid() && expired->isValid());
    const TempWorkDir work;
    QVERIFY(Identity::shared().isValid() && &Identity::shared() == &Identity::shared());
    QVERIFY(QFile::exists(work.filePath(Identity::keyFileName())));
    QVERIFY(SettingsKeys::workingFolderFiles().contains(Identity::keyFileName()));
    QVERIFY(SettingsKeys::workingFolderFiles().contains(Identity::certificateFileName()));
}

void TestSecurity::identityIsKeptOnDisk_data()
{
    QTest::addColumn<QString>("removed");
    QTest::addColumn<QByteArray>("keyText");
    QTest::addColumn<int>("keyMode");
    QTest::addColumn<bool>("valid");
    const QByteArray otherKey = contents(dir.filePath(QStringLiteral("middle/identity.key")));
    QTest::newRow("second start") << "" << QByteArray() << 0600 << true;
    QTest::newRow("key missing") << Identity::keyFileName() << QByteArray() << 0600 << false;
    QTest::newRow("certificate missing")
        << Identity::certificateFileName() << QByteArray() << 0600 << false;
    QTest::newRow("key garbled") << "" << QByteArray("not a key\n") << 0600 << false;
    QTest::newRow("key of another installation") << "" << otherKey << 0600 << false;
    QTest::newRow("key readable by others") << "" << QByteArray() << 0644 << false;
}

void TestSecurity::identityIsKeptOnDisk()
{
    QFETCH(QString, removed);
    QFETCH(QByteArray, keyText);
    QFETCH(int, keyMode);
    QFETCH(bool, valid);
    QTemporaryDir folder;
    const QString key = folder.filePath(Identity::keyFileName());
    const QString certificate = folder.filePath(Identity::certificateFileName());
    // With nothing masked, a key made readable and narrowed afterwards would show here.
    const mode_t mask = ::umask(0);
    const Identity first(folder.path());
    ::umask(mask);
    QVERIFY2(first.isValid() && first.isNew(), qPrintable(first.errorString()));
    QCOMPARE(QFile::permissions(key),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QFile keyFile(key);
    QVERIFY(keyText.isEmpty() || (keyFile.open(QIODevice::WriteOnly) && keyFile.write(keyText)));
    keyFile.close();
    ::chmod(QFile::encodeName(key).constData(), mode_t(keyMode));
    QVERIFY(removed.isEmpty() || QFile::remove(folder.filePath(removed)));
    const QByteArray kept = contents(certificate);
    const Identity again(folder.path());
    QCOMPARE(again.isValid(), valid);
    QVERIFY(!again.isNew());
    QCOMPARE(again.errorString().isEmpty(), valid);
    QCOMPARE(again.fingerprint() == first.fingerprint(), valid);
    QCOMPARE(contents(certificate), kept);
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
    const auto shown =
        shownCodes(PairingCode::of(out, Side::Sender), PairingCode::of(in, Side::Receiver));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9]{6}$")).match(shown.first).hasMatch());
    QCOMPARE(shown.first, shown.second);
    QByteArray data;
    for (int i = 0; data.size() < (3 << 20); ++i)
        data += QByteArray::number(i) + ',';
    const auto send = [&](qint64 n) { return out.write(data.constData() + n, data.size() - n); };
    QCOMPARE(carry(out, in, data.size(), send), data);
    const auto answer = [&](qint64 n) { return in.write(data.constData() + n, 1000 - n); };
    QCOMPARE(carry(in, out, 1000, answer), data.left(1000));
    QFile file(dir.filePath(QStringLiteral("file.bin")));
    QVERIFY(file.open(QIODevice::ReadWrite) && file.write(data) == data.size());
    const qint64 offset = 4097;
    const qint64 length = data.size() - offset - 5;
    const auto part = [&](qint64 n) { return out.sendFile(file.handle(), offset + n, length - n); };
    QCOMPARE(carry(out, in, length, part), data.mid(offset, length));
    QCOMPARE(out.close(), Step::Done);
    char rest;
    QCOMPARE(in.read(&rest, 1).step, Step::Closed);
}

// One identity ends both sessions and passes on whatever it can.
// Each end renews its sending key every 64 KiB here; the other keeps reading across the renewals.
void TestSecurity::keysAreRenewedOnTheWay()
{
    TlsChannel::setRekeyBytes(64 * 1024);
    SocketPair pair;
    TlsChannel out(*sender, pair.fd[0], Role::Client);
    TlsChannel in(*receiver, pair.fd[1], Role::Server);
    TlsChannel::setRekeyBytes(TlsChannel::rekeyBytes);
    QVERIFY(handshakeBoth(out, in));
    const QByteArray data(1 << 20, 'k');
    const auto send = [&](qint64 n) { return out.write(data.constData() + n, 16384); };
    QCOMPARE(carry(out, in, data.size(), send), data);
    QCOMPARE(out.keyUpdates(), 15);
    const auto answer = [&](qint64 n) { return in.write(data.constData() + n, 1000 - n); };
    QCOMPARE(carry(in, out, 1000, answer), data.left(1000));
    QCOMPARE(in.keyUpdates(), 0);
}

// A peer that says why it stops and resets: the write that meets the reset fails, and what the
// peer said can still be read after it.
void TestSecurity::lastWordsOutliveTheReset()
{
    SocketPair pair;
    TlsChannel out(*sender, pair.fd[0], Role::Client);
    TlsChannel in(*receiver, pair.fd[1], Role::Server);
    QVERIFY(handshakeBoth(out, in));
    QCOMPARE(in.write("bye", 3).step, Step::Done);
    QCOMPARE(out.write("unread", 6).step, Step::Done); // a close with it unread is a reset
    ::close(pair.fd[1]), pair.fd[1] = -1;
    const QByteArray more(1 << 20, 'm');
    QCOMPARE(out.write(more.constData(), more.size()).step, Step::Failed);
    char words[8];
    const TlsChannel::Transfer got = out.read(words, sizeof words);
    QCOMPARE(QByteArray(words, int(got.bytes)), QByteArray("bye"));
}

void TestSecurity::machineInTheMiddleGetsOtherCodes()
{
    SocketPair first, second;
    TlsChannel out(*sender, first.fd[0], Role::Client);
    TlsChannel near(*middle, first.fd[1], Role::Server);
    TlsChannel far(*middle, second.fd[0], Role::Client);
    TlsChannel in(*receiver, second.fd[1], Role::Server);
    QVERIFY(handshakeBoth(out, near) && handshakeBoth(far, in));
    const PairingCode atSender = PairingCode::of(out, Side::Sender);
    const PairingCode atReceiver = PairingCode::of(in, Side::Receiver);
    const auto withSender = shownCodes(atSender, PairingCode::of(near, Side::Receiver));
    const auto withReceiver = shownCodes(PairingCode::of(far, Side::Sender), atReceiver);
    QCOMPARE(withSender.first, withSender.second);
    QCOMPARE(withReceiver.first, withReceiver.second);
    QVERIFY(withSender.first != withReceiver.second);
    const QByteArray nonce = PairingCode::newNonce();
    QVERIFY(!atReceiver.opens(atSender.commitment(nonce), nonce));
}

void TestSecurity::badPeerFailsHandshake_data()
{
    QTest::addColumn<bool>("testedIsServer");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("error");
    for (const bool server : {true, false}) {
        const char *peer = server ? "client" : "server";
        QTest::addRow("%s speaks plain text", peer) << server << "plain text"
                                                    << "加密握手失败";
        QTest::addRow("%s trickles past the deadline", peer) << server << "trickling"
                                                             << "加密握手超时";
        QTest::addRow("%s with an expired certificate", peer) << server << "expired"
                                                              << "对方的证书无效";
    }
}

// The tested end talks through the test, which passes the other end's bytes on, one at a time
// when it trickles, or answers in plain text; the test, not the clock, ends the deadline.
void TestSecurity::badPeerFailsHandshake()
{
    QFETCH(bool, testedIsServer);
    QFETCH(QString, peer);
    QFETCH(QString, error);
    SocketPair near, far;
    TlsChannel tested(*receiver, near.fd[0], testedIsServer ? Role::Server : Role::Client);
    TlsChannel other(peer == QLatin1String("expired") ? *expired : *sender, far.fd[0],
                     testedIsServer ? Role::Client : Role::Server);
    const bool trickles = peer == QLatin1String("trickling");
    const int trickleBytes = 100;
    QDeadlineTimer deadline = noDeadline;
    int trickled = 0;
    Step step = Step::WantRead;
    for (int round = 0; round < 1000 && step != Step::Failed && step != Step::Done; ++round) {
        if (peer != QLatin1String("plain text")) {
            QVERIFY(other.handshake(noDeadline) != Step::Failed);
            relay(near.fd[1], far.fd[1], 1 << 16);
            relay(far.fd[1], near.fd[1], trickles ? 1 : 1 << 16);
            if (trickles && ++trickled == trickleBytes)
                deadline = QDeadlineTimer(0);
        } else if (round == 1) {
            relay(near.fd[1], far.fd[1], 1 << 16);
            QCOMPARE(::write(near.fd[1], "HTTP/1.0 200 OK\r\n\r\n", 19), 19);
        }
        step = tested.handshake(deadline);
    }
    QCOMPARE(step, Step::Failed);
    QVERIFY2(tested.errorString().startsWith(error), qPrintable(tested.errorString()));
    QVERIFY(tested.peerFingerprint().isNull());
    QCOMPARE(trickled, trickles ? trickleBytes : 0);
}

QTEST_GUILESS_MAIN(TestSecurity)
#include "tst_security.moc"
