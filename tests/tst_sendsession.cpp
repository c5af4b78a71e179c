#include "send/sendsession.h"

#include "protocol/hashcache.h"
#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/streamsender.h"

#include "extendedreceiver.h"
#include "tempworkdir.h"
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
                [this](int, int files, qint64 bytes,
                       const QList<TCPSendThread::ResumedFile> &resumedFiles, qint64 total) {
                    skipped = qMakePair(files, bytes);
                    for (const TCPSendThread::ResumedFile &file : resumedFiles)
                        resumed << QStringLiteral("%1 %2").arg(file.name).arg(file.offset);
                    plannedTotal = total;
                });
        connect(&session, &SendSession::accepted, this, [this](int id) { accepted << id; });
        connect(&session, &SendSession::progress, this, [this](int id, qint64 sent, qint64 total) {
            ids << id;
            reports << qMakePair(sent, total);
        });
        connect(&session, &SendSession::ended, this,
                [this](int id, int outcome, int error, const QString &item) {
                    ids << id;
                    outcomes << outcome;
                    errors << error;
                    items << item;
                });
    }

    QList<int> listed;
    QPair<int, qint64> skipped{-1, -1};
    QStringList resumed;
    qint64 plannedTotal = -1;
    QList<int> accepted;
    QList<int> ids; // of every progress report and end
    QList<QPair<qint64, qint64>> reports;
    QList<int> outcomes;
    QList<int> errors;
    QStringList items;
};

QByteArray pattern(qint64 size, int seed = 7)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[int(i)] = char((i * seed + i / 1024) & 0xff);
    return data;
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
        << ok << QByteArray() << "close" << int(SendSession::Outcome::Delivered);
    QTest::newRow("accept line after other text")
        << QByteArray("HTTP/1.1 100 Continue\r\nHTTP/1.1 200 OK\r\n\r\nOK") << QByteArray()
        << "close" << int(SendSession::Outcome::Delivered);
    QTest::newRow("accept arriving in two parts")
        << QByteArray("HTTP/1.1 20") << ok.mid(11) << "close"
        << int(SendSession::Outcome::Delivered);
    QTest::newRow("could not store")
        << ok << QByteArray() << "reset" << int(SendSession::Outcome::NotStored);
    QTest::newRow("waits for the sender's end")
        << ok << QByteArray() << "keep" << int(SendSession::Outcome::Unconfirmed);
    QTest::newRow("dropped mid-body")
        << ok << QByteArray() << "drop" << int(SendSession::Outcome::SendBroken);
    QTest::newRow("refusal") << TransferReply::refusal() << QByteArray() << "keep"
                             << int(SendSession::Outcome::Refused);
    QTest::newRow("lower case") << QByteArray("http/1.1 200 ok\r\n\r\n") << QByteArray() << "keep"
                                << int(SendSession::Outcome::Refused);
    QTest::newRow("status line without line end") << QByteArray("HTTP/1.1 200 OK") << QByteArray()
                                                  << "hangup" << int(SendSession::Outcome::Refused);
    QTest::newRow("closed without reply")
        << QByteArray() << QByteArray() << "hangup" << int(SendSession::Outcome::Unanswered);
    QTest::newRow("nobody listening")
        << QByteArray() << QByteArray() << "none" << int(SendSession::Outcome::ConnectFailed);
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
    session.send("127.0.0.1", QString::fromUtf8("小明"));

    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 60000);
    QCOMPARE(recorder.outcomes.first(), outcome);
    QVERIFY(!session.transferRunning());
    QCOMPARE(recorder.listed, QList<int>{1});
    if (!receiver)
        return;
    QCOMPARE(receiver->request(), requestFor(name, size));
    QTRY_VERIFY(receiver->closed);
    const bool bodySent = outcome == SendSession::Outcome::Delivered ||
                          outcome == SendSession::Outcome::NotStored ||
                          outcome == SendSession::Outcome::Unconfirmed;
    QCOMPARE(recorder.accepted.size(), bodySent || end == "drop" ? 1 : 0);
    if (bodySent) {
        QVERIFY(receiver->body() == stream);
        QCOMPARE(recorder.reports.last(), qMakePair(qint64(stream.size()), qint64(stream.size())));
    } else if (outcome != SendSession::Outcome::SendBroken) {
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
    session.send("127.0.0.1", "me");

    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 30000);
    QCOMPARE(recorder.outcomes.first(), int(SendSession::Outcome::SourceFailed));
    QCOMPARE(recorder.errors.first(), int(StreamSender::SourceChanged));
    QCOMPARE(recorder.items.first(), QString("b.txt"));
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
    session.send("127.0.0.1", "me");
    QTRY_COMPARE(recorder.outcomes.size(), 1);

    const QByteArray second = pattern(2048).toBase64();
    TestReceiver two(TransferReply::accept());
    two.closeAfterBodyBytes = streamOf("two", second).size();
    session.setPort(two.port());
    QCOMPARE(session.start({makeFile("two", second)}), 2);
    session.send("127.0.0.1", QString::fromUtf8("小明"));
    QTRY_COMPARE(recorder.outcomes.size(), 2);

    QCOMPARE(recorder.outcomes,
             (QList<int>{SendSession::Outcome::Delivered, SendSession::Outcome::Delivered}));
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
        session->send("127.0.0.1", "me");
    if (stage == "answer" || stage == "stalled")
        QTRY_VERIFY(receiver.request().endsWith("\r\n\r\n"));
    else if (stage == "end")
        QTRY_VERIFY(!recorder.reports.isEmpty() &&
                    recorder.reports.last().first == recorder.reports.last().second);

    session->cancel();
    QTRY_COMPARE(recorder.outcomes, QList<int>{SendSession::Outcome::Cancelled});
    QVERIFY(!session->transferRunning());
}

// Which protocol a transfer takes, and what the extended receiver's plan leaves to send; the plain
// protocol sends exactly today's bytes.
void TestSendSession::extended_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("listening");    // an extended receiver on the extended port
    QTest::addColumn<QString>("plan");      // "<S|R|X> <index> <offset>"; X resumes other bytes
    QTest::addColumn<QStringList>("parts"); // of the extended body
    QTest::addColumn<int>("outcome");

    const int probe = int(SendSession::Protocol::Probe);
    const int ext = int(SendSession::Protocol::Extended);
    const int ok = SendSession::Outcome::Delivered;
    const QStringList whole{"1 0", "2 0"};
    QTest::newRow("nothing there") << ext << true << "" << whole << ok;
    QTest::newRow("small file unchanged") << ext << true << "S 1 0" << QStringList{"2 0"} << ok;
    QTest::newRow("large file resumed")
        << ext << true << "R 2 100000" << QStringList{"1 0", "2 100000"} << ok;
    QTest::newRow("resumed near its end")
        << ext << true << "R 2 299900" << QStringList{"1 0", "2 299900"} << ok;
    QTest::newRow("resumed file of other bytes sent whole")
        << ext << true << "X 2 100000" << whole << ok;
    QTest::newRow("refusal") << ext << true << "refuse" << QStringList()
                             << int(SendSession::Outcome::Refused);
    QTest::newRow("typed address, extended port open") << probe << true << "" << whole << ok;
    QTest::newRow("typed address, extended port closed") << probe << false << "" << whole << ok;
    QTest::newRow("announced port closed") << ext << false << "" << whole << ok;
    QTest::newRow("heard on the presence port only")
        << int(SendSession::Protocol::Plain) << true << "" << whole << ok;
}

void TestSendSession::extended()
{
    QFETCH(int, protocol);
    QFETCH(bool, listening);
    QFETCH(QString, plan);
    QFETCH(QStringList, parts);
    QFETCH(int, outcome);

    const QList<QByteArray> data{QByteArray(), pattern(1000), pattern(300000, 3)};
    makeFile("D/a", data.at(1));
    makeFile("D/b", data.at(2));
    const QByteArray request = requestFor("D", 301000, "folder", 3);
    const QByteArray stream =
        "D\r\nfolder\r\n" + streamOf("D/a", data.at(1)).chopped(6) + streamOf("D/b", data.at(2));
    TestReceiver plain(TransferReply::accept());
    plain.closeAfterBodyBytes = stream.size();
    const QStringList step = plan.split(' ');
    auto receiver = std::make_unique<ExtendedReceiver>([&](const Manifest &, TransferPlan *steps) {
        if (step.size() == 3) {
            TransferPlan::Step &s = steps->steps[step.at(1).toInt()];
            s.action = step.at(0) == "S" ? TransferPlan::Skip : TransferPlan::Resume;
            s.offset = step.at(2).toLongLong();
        }
        return plan != "refuse";
    });
    const quint16 extendedPort = receiver->port();
    if (!listening)
        receiver.reset(); // the port is closed again
    SendSession session;
    session.setPort(plain.port());
    Recorder recorder(session);
    session.start({dir->filePath("D")});
    session.send("127.0.0.1", QString::fromUtf8("小明"), SendSession::Protocol(protocol),
                 extendedPort);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 60000);
    QCOMPARE(recorder.outcomes.first(), outcome);
    const bool extended = listening && protocol != int(SendSession::Protocol::Plain);
    QCOMPARE(plain.request(), extended ? QByteArray() : request);
    QVERIFY(plain.body() == (extended ? QByteArray() : stream));
    if (!extended)
        return;
    QVERIFY(receiver->request.startsWith(request.chopped(2)));
    QVERIFY(!receiver->senderId.isEmpty());
    for (int i = 1; i < 3; ++i) {
        ContentHash hash;
        hash.add(data.at(i).constData(), data.at(i).size());
        QVERIFY(receiver->manifest.items.at(i).hash == hash.value());
    }
    QCOMPARE(receiver->parts, parts);
    if (outcome != SendSession::Outcome::Delivered)
        return;
    qint64 total = ExtendedProtocol::endLine().size();
    for (int i = 0; i < parts.size(); ++i) {
        const int index = parts.at(i).section(' ', 0, 0).toInt();
        const qint64 offset = parts.at(i).section(' ', 1).toLongLong();
        QVERIFY(receiver->partData.at(i) == data.at(index).mid(int(offset)));
        total += ExtendedProtocol::partLine(index, offset).size() + receiver->partData.at(i).size();
    }
    // Progress, speed and time left count only what moves.
    QCOMPARE(recorder.plannedTotal, total);
    QCOMPARE(recorder.reports.last(), qMakePair(total, total));
    QCOMPARE(recorder.skipped,
             plan.startsWith('S') ? qMakePair(1, qint64(1000)) : qMakePair(0, qint64(0)));
    QCOMPARE(recorder.resumed,
             plan.startsWith('R') ? QStringList{"D/b " + step.at(2)} : QStringList());
    QVERIFY(QFileInfo::exists(workDir->filePath(HashCache::fileName())));
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
    ExtendedReceiver receiver([](const Manifest &, TransferPlan *plan) {
        plan->steps[1].action = TransferPlan::Skip;
        return true;
    });
    SendSession session;
    session.setPort(plain.port());
    Recorder recorder(session);
    session.start({makeFile("small", "s"), huge});
    session.send("127.0.0.1", "me", SendSession::Protocol(protocol), receiver.port());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 120000);
    const bool extended = protocol == int(SendSession::Protocol::Extended);
    QCOMPARE(recorder.outcomes.first(),
             int(extended ? SendSession::Outcome::Delivered : SendSession::Outcome::ListFailed));
    QCOMPARE(recorder.errors.first(), extended ? 0 : int(SendPacker::TooLarge));
    QCOMPARE(recorder.items.first(), extended ? QString() : QString("huge"));
    QCOMPARE(receiver.parts, extended ? QStringList{"0 0"} : QStringList());
    QCOMPARE(plain.request(), QByteArray());
    // Picking a plain receiver ended the hashing, which would have remembered the hash.
    ContentHash::Value hash;
    QCOMPARE(HashCache::shared().lookup(huge, size, HashCache::modified(huge), &hash), extended);
}

QTEST_GUILESS_MAIN(TestSendSession)
#include "tst_sendsession.moc"
