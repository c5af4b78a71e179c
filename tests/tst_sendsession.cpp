#include "send/sendsession.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "records/filehash.h"
#include "records/fileidentity.h"
#include "records/hashcache.h"
#include "records/knowndevices.h"
#include "security/tlsrelay.h"
#include "send/streamsender.h"

#include "extendedreceiver.h"
#include "fullbacklog.h"
#include "tempworkdir.h"
#include "testdata.h"
#include "testreceiver.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Collects the session's reports in the test's thread, where they arrive queued.
class Recorder : public QObject
{
public:
    explicit Recorder(SendSession &session)
    {
        connect(&session, &SendSession::listed, this,
                [this](int id, const SendPacker &) { listed << id; });
        connect(&session, &SendSession::planned, this,
                [this](int, int files, qint64 bytes, const QList<SendWorker::ResumedFile> &,
                       qint64 total) {
                    skipped = qMakePair(files, bytes);
                    plannedTotal = total;
                });
        connect(&session, &SendSession::accepted, this, [this](int id) { accepted << id; });
        connect(&session, &SendSession::progress, this, [this](int id, qint64 sent, qint64 total) {
            ids << id;
            reports << qMakePair(sent, total);
        });
        connect(&session, &SendSession::ended, this, [this](int id, const SendResult &result) {
            ids << id;
            outcomes << result.outcome;
            results << result;
        });
    }

    QList<int> listed;
    QPair<int, qint64> skipped{-1, -1};
    qint64 plannedTotal = -1;
    QList<int> accepted;
    QList<int> ids; // of every progress report and end
    QList<QPair<qint64, qint64>> reports;
    QList<int> outcomes;
    QList<SendResult> results;
};

SendSession::Receiver loopback(const QString &name = QStringLiteral("me"),
                               SendSession::Protocol protocol = SendSession::Protocol::Plain,
                               quint16 extendedPort = ExtendedProtocol::tcpPort)
{
    return {QStringLiteral("127.0.0.1"), name, protocol, extendedPort, QString()};
}

QByteArray requestFor(const QString &name, qint64 size, const QString &kind = "file", int items = 1)
{
    TransferRequest request;
    request.target = name;
    request.kind = kind;
    request.filesNumber = 1;
    request.itemsNumber = items;
    request.contentLength = size;
    request.senderName = QString::fromUtf8("小明");
    return request.toUtf8();
}

QByteArray streamOf(const QString &name, const QByteArray &data)
{
    return name.toUtf8() + "\r\nfile\r\n" + QByteArray::number(data.size()) + "\r\n" + data +
           "File end\r\nOVER\r\n";
}

} // namespace

class TestSendSession : public QObject
{
    Q_OBJECT

private slots:
    // A relay may outlive its transfer and still log: all end before the test closes its log.
    void cleanupTestCase() { QVERIFY(TlsRelay::waitForAll(30000)); }
    void initTestCase();
    void init();
    void outcomes_data();
    void outcomes();
    void sourceChangedBeforeItsTurn();
    void twoTransfersInARow();
    void cancelEndsEveryWait_data();
    void cancelEndsEveryWait();
    void extended_data();
    void extended();
    void resume_data();
    void resume();
    void slowHandshake_data();
    void slowHandshake();
    void fileOf4GiB_data();
    void fileOf4GiB();

private:
    QString makeFile(const QString &name, const QByteArray &data);
    std::unique_ptr<QTemporaryDir> dir;
    // The settings and the hash cache of the extended transfers go here.
    std::unique_ptr<TempWorkDir> workDir;
};

void TestSendSession::initTestCase()
{
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
}

void TestSendSession::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    // The test's extended receiver is a paired device.
    QVERIFY(KnownDevices().remember(TlsPeer::identity("receiver").fingerprint(), "receiver",
                                    "127.0.0.2"));
}

QString TestSendSession::makeFile(const QString &name, const QByteArray &data)
{
    const QString path = dir->filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        qFatal("cannot make %s", qPrintable(path));
    return path;
}

// How the receiver answers and ends decides what the sender reports.
void TestSendSession::outcomes_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("replyTail");
    QTest::addColumn<QString>("end"); // after the reply: close, reset, drop, keep, hangup, none
    QTest::addColumn<int>("outcome");

    const QByteArray ok = TransferReply::accept();
    QTest::newRow("stored everything")
        << ok << QByteArray() << "close" << int(SendResult::Delivered);
    QTest::newRow("accept line after other text")
        << QByteArray("HTTP/1.1 100 Continue\r\nHTTP/1.1 200 OK\r\n\r\nOK") << QByteArray()
        << "close" << int(SendResult::Delivered);
    QTest::newRow("accept arriving in two parts")
        << QByteArray("HTTP/1.1 20") << ok.mid(11) << "close" << int(SendResult::Delivered);
    QTest::newRow("could not store") << ok << QByteArray() << "reset" << int(SendResult::NotStored);
    QTest::newRow("waits for the sender's end")
        << ok << QByteArray() << "keep" << int(SendResult::Unconfirmed);
    QTest::newRow("dropped mid-body")
        << ok << QByteArray() << "drop" << int(SendResult::SendBroken);
    QTest::newRow("refusal") << TransferReply::refusal() << QByteArray() << "keep"
                             << int(SendResult::Refused);
    QTest::newRow("lower case") << QByteArray("http/1.1 200 ok\r\n\r\n") << QByteArray() << "keep"
                                << int(SendResult::Refused);
    QTest::newRow("status line without line end")
        << QByteArray("HTTP/1.1 200 OK") << QByteArray() << "hangup" << int(SendResult::Refused);
    QTest::newRow("closed without reply")
        << QByteArray() << QByteArray() << "hangup" << int(SendResult::Unanswered);
    QTest::newRow("nobody listening")
        << QByteArray() << QByteArray() << "none" << int(SendResult::ConnectFailed);
}

void TestSendSession::outcomes()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, replyTail);
    QFETCH(QString, end);
    QFETCH(int, outcome);

    // Far more than loopback buffers hold, so that a drop is met while the body is written.
    const qint64 size = end == "drop" ? 64 * 1024 * 1024 : 300000;
    const QByteArray data = pattern(size);
    const QString name = QString::fromUtf8("报告.txt");
    const QByteArray stream = streamOf(name, data);
    auto receiver = std::make_unique<TestReceiver>(reply, 0, replyTail);
    receiver->closeAfterReply = end == "hangup";
    if (end == "close")
        receiver->closeAfterBodyBytes = stream.size();
    else if (end == "reset")
        receiver->resetAfterBodyBytes = stream.size();
    else if (end == "drop")
        receiver->dropAfterBodyBytes = 64 * 1024;
    const quint16 port = receiver->port();
    if (end == "none")
        receiver.reset(); // the port is closed again

    SendSession session;
    session.setPort(port);
    session.setConfirmSlack(300);
    Recorder recorder(session);
    const int id = session.start({makeFile(name, data)});
    QCOMPARE(id, 1);
    session.send(loopback(QString::fromUtf8("小明")));

    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 60000);
    QCOMPARE(recorder.outcomes.first(), outcome);
    QVERIFY(!session.transferRunning());
    QCOMPARE(recorder.listed, QList<int>{1});
    if (!receiver)
        return;
    QCOMPARE(receiver->request(), requestFor(name, size));
    QTRY_VERIFY(receiver->closed);
    const bool bodySent = outcome == SendResult::Delivered || outcome == SendResult::NotStored ||
                          outcome == SendResult::Unconfirmed;
    QCOMPARE(recorder.accepted.size(), bodySent || end == "drop" ? 1 : 0);
    if (bodySent) {
        QVERIFY(receiver->body() == stream);
        QCOMPARE(recorder.reports.last(), qMakePair(qint64(stream.size()), qint64(stream.size())));
    } else if (outcome != SendResult::SendBroken) {
        QCOMPARE(receiver->body(), QByteArray());
        QVERIFY(recorder.reports.isEmpty());
    }
}

// A file that changed after it was listed is not sent as if whole: the receiver is reset in the
// middle of its record, and the end names the file.
void TestSendSession::sourceChangedBeforeItsTurn()
{
    const QString first = makeFile("a.txt", "first");
    const QString second = makeFile("b.txt", pattern(200000));
    TestReceiver receiver(TransferReply::accept());
    SendSession session;
    session.setPort(receiver.port());
    Recorder recorder(session);
    session.start({first, second});
    QTRY_COMPARE(recorder.listed.size(), 1);
    makeFile("b.txt", pattern(200001));
    session.send(loopback());

    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 30000);
    QCOMPARE(recorder.outcomes.first(), int(SendResult::SourceFailed));
    QCOMPARE(recorder.results.first().sourceError, StreamSender::SourceChanged);
    QCOMPARE(recorder.results.first().item, QString("b.txt"));
    QTRY_VERIFY(receiver.closed);
    QVERIFY(!receiver.body().contains("OVER\r\n"));
}

void TestSendSession::twoTransfersInARow()
{
    SendSession session;
    session.setConfirmSlack(300);
    Recorder recorder(session);

    const QByteArray first = pattern(5000);
    TestReceiver one(TransferReply::accept());
    one.closeAfterBodyBytes = streamOf("one", first).size();
    session.setPort(one.port());
    QCOMPARE(session.start({makeFile("one", first)}), 1);
    // One transfer at a time: a second start while the first runs is turned down.
    QCOMPARE(session.start({makeFile("other", "x")}), 0);
    session.send(loopback());
    QTRY_COMPARE(recorder.outcomes.size(), 1);

    const QByteArray second = pattern(2048).toBase64();
    TestReceiver two(TransferReply::accept());
    two.closeAfterBodyBytes = streamOf("two", second).size();
    session.setPort(two.port());
    QCOMPARE(session.start({makeFile("two", second)}), 2);
    session.send(loopback(QString::fromUtf8("小明")));
    QTRY_COMPARE(recorder.outcomes.size(), 2);

    QCOMPARE(recorder.outcomes, (QList<int>{SendResult::Delivered, SendResult::Delivered}));
    QCOMPARE(recorder.listed, (QList<int>{1, 2}));
    // Every report belongs to its own transfer, in order.
    QCOMPARE(recorder.ids.first(), 1);
    QCOMPARE(recorder.ids.last(), 2);
    QCOMPARE(recorder.ids.indexOf(2), recorder.ids.lastIndexOf(1) + 1);
    QCOMPARE(one.body(), streamOf("one", first));
    QCOMPARE(two.request(), requestFor("two", second.size()));
    QCOMPARE(two.body(), streamOf("two", second));
}

// Every wait ends soon after a cancel, and the view hears that it was cancelled.
void TestSendSession::cancelEndsEveryWait_data()
{
    QTest::addColumn<QString>("stage");
    QTest::newRow("waiting for a receiver to be picked") << "choosing";
    QTest::newRow("waiting for the answer") << "answer";
    QTest::newRow("receiver stopped reading") << "stalled";
    QTest::newRow("waiting for the receiver's end") << "end";
}

void TestSendSession::cancelEndsEveryWait()
{
    QFETCH(QString, stage);
    const qint64 size = stage == "stalled" ? 64 * 1024 * 1024 : 100000;
    TestReceiver receiver(stage == "answer" ? QByteArray() : TransferReply::accept());
    if (stage == "stalled")
        receiver.stallAfterBodyBytes = 0;
    auto session = std::make_unique<SendSession>();
    session->setPort(receiver.port());
    session->setConfirmSlack(60000);
    Recorder recorder(*session);
    session->start({makeFile("a", pattern(size))});
    QTRY_COMPARE(recorder.listed.size(), 1);
    if (stage != "choosing")
        session->send(loopback());
    if (stage == "answer" || stage == "stalled")
        QTRY_VERIFY(receiver.request().endsWith("\r\n\r\n"));
    else if (stage == "end")
        QTRY_VERIFY(!recorder.reports.isEmpty() &&
                    recorder.reports.last().first == recorder.reports.last().second);

    session->cancel();
    QTRY_COMPARE(recorder.outcomes, QList<int>{SendResult::Cancelled});
    QVERIFY(!session->transferRunning());
}

// Which protocol a transfer takes, what the extended receiver's words make of it, and what the
// body then holds; the plain protocol sends exactly today's bytes.
void TestSendSession::extended_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("listening"); // an extended receiver on the extended port
    QTest::addColumn<QString>("says");   // beside its plan; ":" leads the reason it gives
    QTest::addColumn<QByteArray>("plan");
    QTest::addColumn<QStringList>("parts"); // of the extended body
    QTest::addColumn<int>("outcome");

    const int probe = int(SendSession::Protocol::Probe);
    const int ext = int(SendSession::Protocol::Extended);
    const int ok = SendResult::Delivered;
    const int refused = SendResult::Refused;
    const int notStored = SendResult::NotStored;
    const QByteArray all; // no plan: everything whole
    const QByteArray skipA("S 1\n");
    const QStringList whole{"1 0", "2 0"};
    QTest::newRow("nothing there") << ext << true << "" << all << whole << ok;
    QTest::newRow("small file unchanged") << ext << true << "" << skipA << QStringList{"2 0"} << ok;
    QTest::newRow("receiver compares both files")
        << ext << true << "compare" << skipA << QStringList{"2 0"} << ok;
    QTest::newRow("refused with the receiver's reason")
        << ext << true << "refuse:保存文件夹无法写入" << all << QStringList() << refused;
    QTest::newRow("stopped mid-body with the receiver's reason")
        << ext << true << "stop:对方已取消" << all << whole << notStored;
    QTest::newRow("closed without confirming")
        << ext << true << "no K" << all << whole << notStored;
    QTest::newRow("no TLS on the extended port: why, and no fallback")
        << ext << true << "plain" << all << QStringList() << int(SendResult::NotEncrypted);
    QTest::newRow("a receiver never paired with that does not pair")
        << ext << true << "unpaired:对方没有进行配对" << all << QStringList() << refused;
    QTest::newRow("skipped file changed before the body")
        << ext << true << "change D/a" << skipA << QStringList() << int(SendResult::SourceFailed);
    QTest::newRow("typed address, extended port open") << probe << true << "" << all << whole << ok;
    QTest::newRow("typed address, extended port closed")
        << probe << false << "" << all << whole << ok;
    QTest::newRow("announced port closed") << ext << false << "" << all << whole << ok;
    QTest::newRow("heard on the presence port only")
        << int(SendSession::Protocol::Plain) << true << "" << all << whole << ok;
}

void TestSendSession::extended()
{
    QFETCH(int, protocol);
    QFETCH(bool, listening);
    QFETCH(QString, says);
    QFETCH(QByteArray, plan);
    QFETCH(QStringList, parts);
    QFETCH(int, outcome);

    const QList<QByteArray> data{QByteArray(), pattern(1000), pattern(3000000, 3)};
    makeFile("D/a", data.at(1));
    makeFile("D/b", data.at(2));
    const QByteArray request = requestFor("D", 3001000, "folder", 3);
    const QByteArray stream =
        "D\r\nfolder\r\n" + streamOf("D/a", data.at(1)).chopped(6) + streamOf("D/b", data.at(2));
    TestReceiver plain(TransferReply::accept());
    plain.closeAfterBodyBytes = stream.size();
    auto receiver = std::make_unique<ExtendedReceiver>();
    receiver->plan = plan;
    receiver->refuse = says.startsWith("refuse");
    receiver->reason = says.section(':', 1);
    receiver->confirm = says != "no K";
    receiver->tls = says != "plain";
    if (says.startsWith("stop"))
        receiver->stopAfterBodyBytes = 2000;
    if (says == "compare")
        receiver->compare = {1, 2};
    if (says == "change D/a")
        receiver->beforeAnswer = [&] { makeFile("D/a", pattern(1000, 5)); };
    if (says.startsWith("unpaired"))
        QVERIFY(KnownDevices().forget(TlsPeer::identity("receiver").fingerprint()));
    const quint16 extendedPort = receiver->port();
    if (!listening)
        receiver.reset(); // the port is closed again
    SendSession session;
    session.setPort(plain.port());
    Recorder recorder(session);
    session.start({dir->filePath("D")});
    session.send(
        loopback(QString::fromUtf8("小明"), SendSession::Protocol(protocol), extendedPort));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 60000);
    QCOMPARE(recorder.outcomes.first(), outcome);
    const QString reason = recorder.results.first().reason;
    QVERIFY2(says == "plain" ? !reason.isEmpty() : reason == says.section(':', 1),
             qPrintable(reason));
    const bool extended = listening && protocol != int(SendSession::Protocol::Plain);
    QCOMPARE(plain.request(), extended ? QByteArray() : request);
    QVERIFY(plain.body() == (extended ? QByteArray() : stream));
    if (!extended || says == "plain")
        return;
    QVERIFY(receiver->request.startsWith(request.chopped(2)));
    QCOMPARE(receiver->senderId, Identity::shared().fingerprint().hex());
    QCOMPARE(recorder.results.first().peer, TlsPeer::identity("receiver").fingerprint());
    // Nothing is read before the body: no hash the cache does not know yet.
    for (const Manifest::Item &item : receiver->manifest.items.mid(1))
        QVERIFY(!item.hasHash && item.version != 0);
    if (says == "compare")
        QCOMPARE(receiver->hashAnswers, QStringList({"1 " + hashOf(data.at(1)).toHex(),
                                                     "2 " + hashOf(data.at(2)).toHex()}));
    if (says == "change D/a")
        QCOMPARE(recorder.results.first().item, QString("D/a"));
    QTRY_COMPARE(receiver->parts, parts);
    if (outcome != SendResult::Delivered)
        return;
    qint64 total = ExtendedProtocol::endLine().size();
    for (int i = 0; i < parts.size(); ++i) {
        const int index = parts.at(i).section(' ', 0, 0).toInt();
        QVERIFY(receiver->partData.at(i) == data.at(index));
        QVERIFY(receiver->hashes.at(i) == hashOf(data.at(index)));
        total += ExtendedProtocol::partLine(index, 0).size() + data.at(index).size() + 35;
    }
    // Progress, speed and time left count only what moves.
    QCOMPARE(recorder.plannedTotal, total);
    QCOMPARE(recorder.reports.last(), qMakePair(total, total));
    QCOMPARE(recorder.skipped,
             plan.isEmpty() ? qMakePair(0, qint64(0)) : qMakePair(1, qint64(1000)));
    // Each file sent was read once, and its hash is remembered for the next manifest.
    QCOMPARE(recorder.results.first().bytesRead,
             qint64(data.at(2).size()) + (plan.isEmpty() ? 1000 : 0));
    ContentHash::Value cached;
    const QString b = dir->filePath("D/b");
    QVERIFY(HashCache::shared().lookup(b, FileIdentity::of(b), &cached));
    QVERIFY(cached == hashOf(data.at(2)));
}

// A receiver's "R" continues a file: from the hashing state saved when the file was sent past
// that offset, without reading the part the receiver keeps; without one, the part is read.
void TestSendSession::resume_data()
{
    QTest::addColumn<bool>("sentBefore");
    QTest::newRow("state saved by an earlier send") << true;
    QTest::newRow("no state saved") << false;
}

void TestSendSession::resume()
{
    QFETCH(bool, sentBefore);
    const qint64 step = ExtendedProtocol::resumeStep;
    const QByteArray tail = pattern(5000);
    const QString big = makeFile("big", QByteArray());
    QVERIFY(QFile::resize(big, step)); // sparse: takes no room
    QFile file(big);
    QVERIFY(file.open(QIODevice::Append) && file.write(tail) == tail.size());
    file.close();
    ContentHash whole;
    QVERIFY(FileHash::feed(&whole, big));

    SendSession session;
    Recorder recorder(session);
    for (int round = sentBefore ? 0 : 1; round < 2; ++round) {
        ExtendedReceiver receiver;
        receiver.plan = round == 1 ? "R 0 " + QByteArray::number(step) + '\n' : QByteArray();
        session.start({big});
        session.send(loopback("me", SendSession::Protocol::Extended, receiver.port()));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), round + (sentBefore ? 1 : 0), 60000);
        QCOMPARE(recorder.outcomes.last(), int(SendResult::Delivered));
        QVERIFY(receiver.hashes == QList<ContentHash::Value>{whole.value()});
    }
    QCOMPARE(recorder.results.last().bytesRead, (sentBefore ? 0 : step) + tail.size());
}

// A connection gets its whole bound however slow its handshake: here the receiver's queue of
// connections is full, so the first handshake is dropped and the system tries again a second
// later. A typed address still takes the extended port when that one is the slow one.
void TestSendSession::slowHandshake_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("extended"); // the extended port is the slow one
    QTest::newRow("plain receiver slow to accept") << int(SendSession::Protocol::Plain) << false;
    QTest::newRow("typed address, extended port slow to accept")
        << int(SendSession::Protocol::Probe) << true;
}

void TestSendSession::slowHandshake()
{
    QFETCH(int, protocol);
    QFETCH(bool, extended);
    const QByteArray data = pattern(1000);
    TestReceiver plain(TransferReply::accept());
    plain.closeAfterBodyBytes = streamOf("a", data).size();
    ExtendedReceiver receiver;
    QTcpServer &slow = extended ? receiver.listener() : plain.listener();
    FullBacklog full(slow);
    QTRY_VERIFY(full.isFull());

    SendSession session;
    session.setPort(plain.port());
    Recorder recorder(session);
    session.start({makeFile("a", data)});
    session.send(loopback("me", SendSession::Protocol(protocol), receiver.port()));
    QTRY_VERIFY_WITH_TIMEOUT(full.droppedOne(), 10000);
    full.release();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 60000);
    QCOMPARE(recorder.outcomes.first(), int(SendResult::Delivered));
    QCOMPARE(receiver.parts, extended ? QStringList{"0 0"} : QStringList());
    QCOMPARE(plain.request().isEmpty(), extended);
}

// Only the extended protocol carries a file of 4 GiB; toward a plain receiver it is refused
// before anything is sent.
void TestSendSession::fileOf4GiB_data()
{
    QTest::addColumn<int>("protocol");
    QTest::newRow("toward a plain receiver") << int(SendSession::Protocol::Plain);
    QTest::newRow("toward an extended receiver") << int(SendSession::Protocol::Extended);
}

void TestSendSession::fileOf4GiB()
{
    QFETCH(int, protocol);
    const qint64 size = Q_INT64_C(4294967297);
    const QString huge = makeFile("huge", QByteArray());
    QVERIFY(QFile::resize(huge, size)); // sparse: takes no room
    TestReceiver plain(TransferReply::accept());
    // It is there already: the manifest carries its size, no byte of it moves.
    ExtendedReceiver receiver;
    receiver.plan = "S 1\n";
    SendSession session;
    session.setPort(plain.port());
    Recorder recorder(session);
    session.start({makeFile("small", "s"), huge});
    session.send(loopback("me", SendSession::Protocol(protocol), receiver.port()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 120000);
    const bool extended = protocol == int(SendSession::Protocol::Extended);
    const SendResult &result = recorder.results.first();
    QCOMPARE(result.outcome, extended ? SendResult::Delivered : SendResult::ListFailed);
    QCOMPARE(result.listError, extended ? SendPacker::NoError : SendPacker::TooLarge);
    QCOMPARE(result.item, extended ? QString() : QString("huge"));
    QCOMPARE(receiver.parts, extended ? QStringList{"0 0"} : QStringList());
    QCOMPARE(receiver.manifest.items.size(), extended ? 2 : 0);
    QCOMPARE(plain.request(), QByteArray());
}

QTEST_GUILESS_MAIN(TestSendSession)
#include "tst_sendsession.moc"
