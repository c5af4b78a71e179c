#include "send/sendsession.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/streamsender.h"

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

QByteArray requestFor(const QString &name, qint64 size)
{
    TransferRequest request;
    request.target = name;
    request.kind = "file";
    request.filesNumber = 1;
    request.itemsNumber = 1;
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
    void init();
    void outcomes_data();
    void outcomes();
    void sourceChangedBeforeItsTurn();
    void twoTransfersInARow();
    void cancelEndsEveryWait_data();
    void cancelEndsEveryWait();

private:
    QString makeFile(const QString &name, const QByteArray &data);
    std::unique_ptr<QTemporaryDir> dir;
};

void TestSendSession::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

QString TestSendSession::makeFile(const QString &name, const QByteArray &data)
{
    const QString path = dir->filePath(name);
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

QTEST_GUILESS_MAIN(TestSendSession)
#include "tst_sendsession.moc"
