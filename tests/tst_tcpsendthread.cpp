#include "send/tcpsendthread.h"

#include "protocol/transferreply.h"
#include "protocol/transferrequest.h"

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
        connect(&thread, &TCPSendThread::updateProgress, this, [this](float f) { reports << f; });
        connect(&thread, &TCPSendThread::sendFailed, this,
                [this](int f) { failures << TCPSendThread::Failure(f); });
    }

    bool ended() const
    {
        return !failures.isEmpty() || (!reports.isEmpty() && reports.last() == 1.0f);
    }

    QList<float> reports;
    QList<TCPSendThread::Failure> failures;
};

QByteArray pattern(qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[int(i)] = char((i * 7 + i / 1024) & 0xff);
    return data;
}

void writeSendFile(const QByteArray &data)
{
    QFile file("send");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
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

void startSend(TCPSendThread &thread, const TestReceiver &receiver, const QString &header)
{
    thread.setIp("127.0.0.1");
    thread.setPort(receiver.port());
    thread.setHeader(header);
    thread.start();
}

} // namespace

class TestTCPSendThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void replies_data();
    void replies();
    void bodyIsTheSendFile_data();
    void bodyIsTheSendFile();
    void receiverDropsMidBody();
    void twoSendsInARow();
    void connectionRefused();
    void destroyingStopsAStalledSend();

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

void TestTCPSendThread::replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("replyTail");
    QTest::addColumn<bool>("closeAfterReply");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("accept") << TransferReply::accept() << QByteArray() << false << true;
    QTest::newRow("accept line after other text")
        << QByteArray("HTTP/1.1 100 Continue\r\nHTTP/1.1 200 OK\r\n\r\nOK") << QByteArray() << false
        << true;
    QTest::newRow("accept arriving in two parts")
        << QByteArray("HTTP/1.1 20") << TransferReply::accept().mid(11) << false << true;
    QTest::newRow("refusal") << TransferReply::refusal() << QByteArray() << false << false;
    QTest::newRow("lower case") << QByteArray("http/1.1 200 ok\r\n\r\n") << QByteArray() << false
                                << false;
    QTest::newRow("status line without line end")
        << QByteArray("HTTP/1.1 200 OK") << QByteArray() << true << false;
    QTest::newRow("closed without reply") << QByteArray() << QByteArray() << true << false;
}

void TestTCPSendThread::replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, replyTail);
    QFETCH(bool, closeAfterReply);
    QFETCH(bool, accepted);

    const QByteArray data = pattern(3000);
    writeSendFile(data);
    TestReceiver receiver(reply, 0, replyTail);
    receiver.closeAfterReply = closeAfterReply;
    TCPSendThread thread;
    Recorder recorder(thread);
    const QString header = requestText(QString::fromUtf8("报告.txt"));
    startSend(thread, receiver, header);

    QTRY_VERIFY(recorder.ended());
    QVERIFY(thread.wait(10000));
    QCOMPARE(receiver.request(), header.toUtf8());
    QTRY_VERIFY(receiver.closed);
    if (accepted) {
        QCOMPARE(recorder.failures.size(), 0);
        QCOMPARE(receiver.body(), data);
        QCOMPARE(recorder.reports.size(), 3);
        QCOMPARE(recorder.reports.last(), 1.0f);
    } else {
        QCOMPARE(recorder.failures, QList<TCPSendThread::Failure>{TCPSendThread::Refused});
        QCOMPARE(recorder.reports.size(), 0);
        QCOMPARE(receiver.body(), QByteArray());
    }
}

void TestTCPSendThread::bodyIsTheSendFile_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QList<float>>("firstReports");

    QTest::newRow("one byte") << qint64(1) << QList<float>{1.0f};
    QTest::newRow("three pieces") << qint64(2500)
                                  << QList<float>{float(1024) / 2500, float(2048) / 2500, 1.0f};
    QTest::newRow("multiple of a piece") << qint64(4096) << QList<float>{0.25f, 0.5f, 0.75f, 1.0f};
    QTest::newRow("above single precision")
        << qint64((1 << 25) + 1) << QList<float>{float(1024) / float((1 << 25) + 1)};
    QTest::newRow("large multiple of a piece") << qint64(1 << 25) << QList<float>{1.0f / 32768};
}

void TestTCPSendThread::bodyIsTheSendFile()
{
    QFETCH(qint64, size);
    QFETCH(QList<float>, firstReports);

    const QByteArray data = pattern(size);
    writeSendFile(data);
    TestReceiver receiver(TransferReply::accept());
    TCPSendThread thread;
    Recorder recorder(thread);
    startSend(thread, receiver, requestText("a"));

    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 60000);
    QVERIFY(thread.wait(10000));
    QCOMPARE(recorder.failures.size(), 0);
    QTRY_VERIFY(receiver.closed);
    QCOMPARE(receiver.body().size(), data.size());
    QVERIFY(receiver.body() == data);
    QCOMPARE(thread.fileSize(), size);

    // One report per piece, rising, and only the last one is 1.
    QCOMPARE(recorder.reports.size(), int((size + 1023) / 1024));
    QCOMPARE(recorder.reports.mid(0, firstReports.size()), firstReports);
    QCOMPARE(recorder.reports.last(), 1.0f);
    QCOMPARE(recorder.reports.count(1.0f), 1);
    for (int i = 1; i < recorder.reports.size(); ++i)
        QVERIFY(recorder.reports.at(i - 1) <= recorder.reports.at(i));
}

void TestTCPSendThread::receiverDropsMidBody()
{
    // Far more than loopback buffers hold, so the drop is met while pieces are still written.
    const QByteArray data = pattern(64 * 1024 * 1024);
    writeSendFile(data);
    TestReceiver receiver(TransferReply::accept());
    receiver.dropAfterBodyBytes = 64 * 1024;
    TCPSendThread thread;
    Recorder recorder(thread);
    startSend(thread, receiver, requestText("a"));

    QTRY_VERIFY_WITH_TIMEOUT(recorder.ended(), 60000);
    QVERIFY(thread.wait(10000));
    QCOMPARE(recorder.failures, QList<TCPSendThread::Failure>{TCPSendThread::SendBroken});
    QVERIFY(!recorder.reports.contains(1.0f));
}

void TestTCPSendThread::twoSendsInARow()
{
    TCPSendThread thread;
    Recorder recorder(thread);

    const QByteArray first = pattern(5000);
    writeSendFile(first);
    TestReceiver one(TransferReply::accept());
    startSend(thread, one, requestText("one"));
    QTRY_VERIFY(recorder.ended());
    QVERIFY(thread.wait(10000));
    QCOMPARE(thread.fileSize(), qint64(5000));

    recorder.reports.clear();
    const QByteArray second = pattern(2048).toBase64();
    writeSendFile(second);
    TestReceiver two(TransferReply::accept());
    startSend(thread, two, requestText("two"));
    QTRY_VERIFY(recorder.ended());
    QVERIFY(thread.wait(10000));

    QCOMPARE(recorder.failures.size(), 0);
    QCOMPARE(one.request(), requestText("one").toUtf8());
    QCOMPARE(one.body(), first);
    QCOMPARE(two.request(), requestText("two").toUtf8());
    QCOMPARE(two.body(), second);
    QCOMPARE(thread.fileSize(), qint64(second.size()));
    QCOMPARE(recorder.reports.size(), int((second.size() + 1023) / 1024));
    QTRY_VERIFY(one.closed && two.closed);
}

void TestTCPSendThread::connectionRefused()
{
    writeSendFile(pattern(10));
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    TCPSendThread thread;
    Recorder recorder(thread);
    thread.setIp("127.0.0.1");
    thread.setPort(port);
    thread.setHeader(requestText("a"));
    thread.start();

    QTRY_VERIFY(recorder.ended());
    QCOMPARE(recorder.failures, QList<TCPSendThread::Failure>{TCPSendThread::ConnectFailed});
    QCOMPARE(recorder.reports.size(), 0);
}

void TestTCPSendThread::destroyingStopsAStalledSend()
{
    // The receiver accepts and then stops reading: the sender stalls with full buffers.
    writeSendFile(pattern(64 * 1024 * 1024));
    TestReceiver receiver(TransferReply::accept());
    receiver.stallAfterBodyBytes = 0;
    auto thread = std::make_unique<TCPSendThread>();
    Recorder recorder(*thread);
    startSend(*thread, receiver, requestText("a"));
    QTRY_VERIFY(!recorder.reports.isEmpty());

    QElapsedTimer clock;
    clock.start();
    thread.reset();
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(recorder.failures, QList<TCPSendThread::Failure>{TCPSendThread::SendBroken});
    QVERIFY(!recorder.reports.contains(1.0f));
}

QTEST_GUILESS_MAIN(TestTCPSendThread)
#include "tst_tcpsendthread.moc"
