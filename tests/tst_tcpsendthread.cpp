#include "send/tcpsendthread.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"
#include "send/packprogress.h"

#include "tempworkdir.h"
#include "testreceiver.h"

#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

// Collects the thread's reports in the test's own thread, where they arrive queued.
class Recorder : public QObject
{
public:
    explicit Recorder(TCPSendThread &thread)
    {
        connect(&thread, &TCPSendThread::updateProgress, this,
                [this](qint64 sent, qint64 total) { reports << qMakePair(sent, total); });
        connect(&thread, &TCPSendThread::sendEnded, this, [this](int o) { outcomes << o; });
    }

    QList<QPair<qint64, qint64>> reports;
    QList<int> outcomes;
};

QByteArray pattern(qint64 size, int seed = 7)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[int(i)] = char((i * seed + i / 1024) & 0xff);
    return data;
}

void writeSendFile(const QByteArray &data, qint64 at = 0)
{
    QFile file("send");
    QVERIFY(file.open(at == 0 ? QIODevice::WriteOnly | QIODevice::Truncate : QIODevice::ReadWrite));
    QVERIFY(file.seek(at));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QString requestText(const QString &target)
{
    TransferRequest request;
    request.target = target;
    request.kind = "file";
    request.filesNumber = 1;
    request.itemsNumber = 1;
    request.contentLength = 1536;
    request.senderName = QString::fromUtf8("小明");
    return QString::fromUtf8(request.toUtf8());
}

// A body that is packed already.
std::shared_ptr<PackProgress> packed(qint64 size)
{
    auto progress = std::make_shared<PackProgress>();
    progress->publish(size);
    progress->finish(true);
    return progress;
}

void startSend(TCPSendThread &thread, quint16 port, const QString &header,
               std::shared_ptr<PackProgress> progress, qint64 size)
{
    thread.setIp("127.0.0.1");
    thread.setPort(port);
    thread.setHeader(header);
    thread.setBody(std::move(progress), size);
    thread.start();
}

} // namespace

class TestTCPSendThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void outcomes_data();
    void outcomes();
    void sendsOnlyWhatIsPacked();
    void packingFailureCutsTheBody();
    void twoSendsInARow();
    void connectionRefused();
    void cancelEndsEveryWait_data();
    void cancelEndsEveryWait();

private:
    std::unique_ptr<TempWorkDir> workDir;
};

void TestTCPSendThread::init()
{
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
}

void TestTCPSendThread::cleanup()
{
    workDir.reset();
}

// How the receiver answers and ends decides what the sender reports.
void TestTCPSendThread::outcomes_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("replyTail");
    QTest::addColumn<QString>("end"); // after the reply: close, reset, drop, keep, hangup
    QTest::addColumn<int>("outcome");

    const QByteArray ok = TransferReply::accept();
    QTest::newRow("stored everything")
        << ok << QByteArray() << "close" << int(TCPSendThread::Delivered);
    QTest::newRow("accept line after other text")
        << QByteArray("HTTP/1.1 100 Continue\r\nHTTP/1.1 200 OK\r\n\r\nOK") << QByteArray()
        << "close" << int(TCPSendThread::Delivered);
    QTest::newRow("accept arriving in two parts")
        << QByteArray("HTTP/1.1 20") << ok.mid(11) << "close" << int(TCPSendThread::Delivered);
    QTest::newRow("could not store")
        << ok << QByteArray() << "reset" << int(TCPSendThread::NotStored);
    QTest::newRow("waits for the sender's end")
        << ok << QByteArray() << "keep" << int(TCPSendThread::Unconfirmed);
    QTest::newRow("dropped mid-body")
        << ok << QByteArray() << "drop" << int(TCPSendThread::SendBroken);
    QTest::newRow("refusal") << TransferReply::refusal() << QByteArray() << "keep"
                             << int(TCPSendThread::Refused);
    QTest::newRow("lower case") << QByteArray("http/1.1 200 ok\r\n\r\n") << QByteArray() << "keep"
                                << int(TCPSendThread::Refused);
    QTest::newRow("status line without line end")
        << QByteArray("HTTP/1.1 200 OK") << QByteArray() << "hangup" << int(TCPSendThread::Refused);
    QTest::newRow("closed without reply")
        << QByteArray() << QByteArray() << "hangup" << int(TCPSendThread::Unanswered);
}

void TestTCPSendThread::outcomes()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, replyTail);
    QFETCH(QString, end);
    QFETCH(int, outcome);

    // Far more than loopback buffers hold, so that a drop is met while the body is written.
    const qint64 size = end == QLatin1String("drop") ? 64 * 1024 * 1024 : 300000;
    const QByteArray data = pattern(size);
    writeSendFile(data);
    TestReceiver receiver(reply, 0, replyTail);
    receiver.closeAfterReply = end == QLatin1String("hangup");
    if (end == QLatin1String("close"))
        receiver.closeAfterBodyBytes = size;
    else if (end == QLatin1String("reset"))
        receiver.resetAfterBodyBytes = size;
    else if (end == QLatin1String("drop"))
        receiver.dropAfterBodyBytes = 64 * 1024;
    TCPSendThread thread;
    thread.setConfirmSlack(300);
    Recorder recorder(thread);
    const QString header = requestText(QString::fromUtf8("报告.txt"));
    startSend(thread, receiver.port(), header, packed(size), size);

    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes.size(), 1, 60000);
    QCOMPARE(recorder.outcomes.first(), outcome);
    QCOMPARE(receiver.request(), header.toUtf8());
    QTRY_VERIFY(receiver.closed);
    const bool bodySent = outcome == TCPSendThread::Delivered ||
                          outcome == TCPSendThread::NotStored ||
                          outcome == TCPSendThread::Unconfirmed;
    if (bodySent) {
        QVERIFY(receiver.body() == data);
        QCOMPARE(recorder.reports.last(), qMakePair(size, size));
    } else if (outcome != TCPSendThread::SendBroken) {
        QCOMPARE(receiver.body(), QByteArray());
        QVERIFY(recorder.reports.isEmpty());
    }
}

// The work file may hold more than is packed (a piece not yet flushed whole): only what the
// packer has published may go out.
void TestTCPSendThread::sendsOnlyWhatIsPacked()
{
    const qint64 size = 3 * 1024 * 1024 + 17;
    const qint64 half = size / 2;
    const QByteArray data = pattern(size);
    writeSendFile(data.left(int(half)) + pattern(size - half, 13));
    auto progress = std::make_shared<PackProgress>();
    progress->publish(half);
    TestReceiver receiver(TransferReply::accept());
    receiver.closeAfterBodyBytes = size;
    TCPSendThread thread;
    Recorder recorder(thread);
    startSend(thread, receiver.port(), requestText("a"), progress, size);

    QTRY_COMPARE_WITH_TIMEOUT(receiver.body().size(), int(half), 30000);
    writeSendFile(data.mid(int(half)), half);
    progress->publish(size);
    progress->finish(true);

    QTRY_COMPARE_WITH_TIMEOUT(recorder.outcomes, QList<int>{TCPSendThread::Delivered}, 30000);
    QVERIFY(receiver.body() == data);
}

void TestTCPSendThread::packingFailureCutsTheBody()
{
    const qint64 size = 100000;
    writeSendFile(pattern(size));
    auto progress = std::make_shared<PackProgress>();
    progress->publish(4000);
    TestReceiver receiver(TransferReply::accept());
    TCPSendThread thread;
    Recorder recorder(thread);
    startSend(thread, receiver.port(), requestText("a"), progress, size);

    QTRY_COMPARE(receiver.body().size(), 4000);
    progress->finish(false);
    QTRY_COMPARE(recorder.outcomes, QList<int>{TCPSendThread::PackFailed});
    QTRY_VERIFY(receiver.closed);
    QCOMPARE(receiver.body().size(), 4000);
}

void TestTCPSendThread::twoSendsInARow()
{
    TCPSendThread thread;
    Recorder recorder(thread);

    const QByteArray first = pattern(5000);
    writeSendFile(first);
    TestReceiver one(TransferReply::accept());
    one.closeAfterBodyBytes = first.size();
    startSend(thread, one.port(), requestText("one"), packed(first.size()), first.size());
    QTRY_COMPARE(recorder.outcomes.size(), 1);
    QVERIFY(thread.wait(10000));

    const QByteArray second = pattern(2048).toBase64();
    writeSendFile(second);
    TestReceiver two(TransferReply::accept());
    two.closeAfterBodyBytes = second.size();
    startSend(thread, two.port(), requestText("two"), packed(second.size()), second.size());
    QTRY_COMPARE(recorder.outcomes.size(), 2);

    QCOMPARE(recorder.outcomes, (QList<int>{TCPSendThread::Delivered, TCPSendThread::Delivered}));
    QCOMPARE(one.request(), requestText("one").toUtf8());
    QCOMPARE(one.body(), first);
    QCOMPARE(two.request(), requestText("two").toUtf8());
    QCOMPARE(two.body(), second);
}

void TestTCPSendThread::connectionRefused()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    TCPSendThread thread;
    Recorder recorder(thread);
    startSend(thread, port, requestText("a"), packed(10), 10);

    QTRY_COMPARE(recorder.outcomes, QList<int>{TCPSendThread::ConnectFailed});
    QVERIFY(recorder.reports.isEmpty());
}

// Every wait of the thread ends soon after a cancel, and the view hears that it was cancelled.
void TestTCPSendThread::cancelEndsEveryWait_data()
{
    QTest::addColumn<QString>("stage");
    QTest::newRow("waiting for the answer") << "answer";
    QTest::newRow("receiver stopped reading") << "stalled";
    QTest::newRow("waiting for the packer") << "packing";
    QTest::newRow("waiting for the receiver's end") << "end";
}

void TestTCPSendThread::cancelEndsEveryWait()
{
    QFETCH(QString, stage);
    const qint64 size = stage == QLatin1String("stalled") ? 64 * 1024 * 1024 : 100000;
    writeSendFile(pattern(size));
    TestReceiver receiver(stage == QLatin1String("answer") ? QByteArray()
                                                           : TransferReply::accept());
    if (stage == QLatin1String("stalled"))
        receiver.stallAfterBodyBytes = 0;
    auto progress =
        stage == QLatin1String("packing") ? std::make_shared<PackProgress>() : packed(size);
    TCPSendThread thread;
    Recorder recorder(thread);
    startSend(thread, receiver.port(), requestText("a"), progress, size);
    if (stage == QLatin1String("answer"))
        QTRY_VERIFY(!receiver.request().isEmpty());
    else if (stage == QLatin1String("end"))
        QTRY_VERIFY(!recorder.reports.isEmpty() && recorder.reports.last().first == size);
    else
        QTRY_VERIFY(receiver.request().size() > 0 && receiver.request().endsWith("\r\n\r\n"));

    thread.cancel();
    QVERIFY(thread.wait(5000));
    QTRY_COMPARE(recorder.outcomes, QList<int>{TCPSendThread::Cancelled});
}

QTEST_GUILESS_MAIN(TestTCPSendThread)
#include "tst_tcpsendthread.moc"
