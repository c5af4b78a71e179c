#include "protocol/transferreply.h"
#include "tempworkdir.h"

#include <QtTest>

class TestTransferReply : public QObject
{
    Q_OBJECT

private slots:
    void replies();
    void isAccepted_data();
    void isAccepted();

private:
    TempWorkDir workDir;
};

void TestTransferReply::replies()
{
    QCOMPARE(TransferReply::accept(), QByteArray("HTTP/1.1 200 OK\r\n"
                                                 "Transfer-Version: 1\r\n"
                                                 "Server: Nubo Name Response Server\r\n"
                                                 "Content-Type: text/html\r\n"
                                                 "Content-Length: 2\r\n"
                                                 "Connection: close\r\n"
                                                 "\r\n"
                                                 "OK"));
    QCOMPARE(TransferReply::refusal(), QByteArray("HTTP/1.1 404 Not Found\r\n\r\n"));
    QCOMPARE(TransferReply::refusal().size(), 26);
}

void TestTransferReply::isAccepted_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("accept reply") << TransferReply::accept() << true;
    QTest::newRow("refusal reply") << TransferReply::refusal() << false;
    QTest::newRow("status line alone") << QByteArray("HTTP/1.1 200 OK\r\n") << true;
    QTest::newRow("status line after other text")
        << QByteArray("garbage\r\nHTTP/1.1 200 OK\r\nmore") << true;
    QTest::newRow("after invalid bytes") << QByteArray("\xff\xfeHTTP/1.1 200 OK\r\n") << true;
    QTest::newRow("without line end") << QByteArray("HTTP/1.1 200 OK") << false;
    QTest::newRow("bare line feed") << QByteArray("HTTP/1.1 200 OK\n") << false;
    QTest::newRow("lower case") << QByteArray("http/1.1 200 ok\r\n") << false;
    QTest::newRow("behind a NUL byte") << QByteArray("x\0HTTP/1.1 200 OK\r\n", 19) << false;
    QTest::newRow("before a NUL byte") << QByteArray("HTTP/1.1 200 OK\r\n\0x", 19) << true;
    QTest::newRow("cut before the line end") << TransferReply::accept().left(16) << false;
    QTest::newRow("nothing") << QByteArray() << false;
}

void TestTransferReply::isAccepted()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    QCOMPARE(TransferReply::isAccepted(reply), accepted);
}

QTEST_GUILESS_MAIN(TestTransferReply)
#include "tst_transferreply.moc"
