#include "protocol/transferrequest.h"
#include "tempworkdir.h"

#include <QtTest>

using Header = QMap<QString, QString>;

class TestTransferRequest : public QObject
{
    Q_OBJECT

private slots:
    void toUtf8_data();
    void toUtf8();
    void parseHeader_data();
    void parseHeader();
    void parseBuiltRequest();

private:
    TempWorkDir workDir;
};

void TestTransferRequest::toUtf8_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("items");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("single file") << "a.txt"
                                 << "file" << 1 << 1 << qint64(1536) << "ruvak"
                                 << QByteArray("MYPOST /a.txt HTTP/1.1\r\n"
                                               "Connection: Keep-Alive\r\n"
                                               "Content-Type: application/file\r\n"
                                               "Files-Number: 1\r\n"
                                               "Items-Number: 1\r\n"
                                               "Content-Length: 1536\r\n"
                                               "User-Agent: Dalvik\r\n"
                                               "Host: localhost\r\n"
                                               "sender-name: ruvak\r\n"
                                               "\r\n");
    QTest::newRow("folder") << "docs"
                            << "folder" << 1 << 3 << qint64(30) << "ruvak"
                            << QByteArray("MYPOST /docs HTTP/1.1\r\n"
                                          "Connection: Keep-Alive\r\n"
                                          "Content-Type: application/folder\r\n"
                                          "Files-Number: 1\r\n"
                                          "Items-Number: 3\r\n"
                                          "Content-Length: 30\r\n"
                                          "User-Agent: Dalvik\r\n"
                                          "Host: localhost\r\n"
                                          "sender-name: ruvak\r\n"
                                          "\r\n");
    QTest::newRow("line breaks become spaces")
        << "a\r\nb.txt"
        << "file" << 2 << 2 << qint64(0) << "x\ny\r"
        << QByteArray("MYPOST /a  b.txt HTTP/1.1\r\n"
                      "Connection: Keep-Alive\r\n"
                      "Content-Type: application/file\r\n"
                      "Files-Number: 2\r\n"
                      "Items-Number: 2\r\n"
                      "Content-Length: 0\r\n"
                      "User-Agent: Dalvik\r\n"
                      "Host: localhost\r\n"
                      "sender-name: x y \r\n"
                      "\r\n");
    QTest::newRow("non-ascii and spaces unchanged")
        << QString::fromUtf8("我的 文档") << "folder" << 3 << 40 << qint64(5000000000)
        << QString::fromUtf8("张三: 李")
        << QByteArray("MYPOST /\xe6\x88\x91\xe7\x9a\x84 \xe6\x96\x87\xe6\xa1\xa3 HTTP/1.1\r\n"
                      "Connection: Keep-Alive\r\n"
                      "Content-Type: application/folder\r\n"
                      "Files-Number: 3\r\n"
                      "Items-Number: 40\r\n"
                      "Content-Length: 5000000000\r\n"
                      "User-Agent: Dalvik\r\n"
                      "Host: localhost\r\n"
                      "sender-name: \xe5\xbc\xa0\xe4\xb8\x89: \xe6\x9d\x8e\r\n"
                      "\r\n");
}

void TestTransferRequest::toUtf8()
{
    QFETCH(QString, target);
    QFETCH(QString, kind);
    QFETCH(int, files);
    QFETCH(int, items);
    QFETCH(qint64, length);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);

    TransferRequest request;
    request.target = target;
    request.kind = kind;
    request.filesNumber = files;
    request.itemsNumber = items;
    request.contentLength = length;
    request.senderName = name;
    QCOMPARE(request.toUtf8(), bytes);
}

void TestTransferRequest::parseHeader_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Header>("header");

    QTest::newRow("spaces around the value")
        << "MYPOST /a HTTP/1.1\r\nContent-Length:  1536 \r\nsender-name: ruvak\r\n\r\n"
        << Header{{"Content-Length", "1536"}, {"sender-name", "ruvak"}};
    QTest::newRow("second colon cuts the value")
        << "MYPOST /a HTTP/1.1\r\nsender-name: a:b\r\n\r\n" << Header{{"sender-name", "a"}};
    QTest::newRow("later duplicate wins")
        << "MYPOST /a HTTP/1.1\r\nHost: one\r\nHost: two\r\n\r\n" << Header{{"Host", "two"}};
    QTest::newRow("keys are case-sensitive")
        << "MYPOST /a HTTP/1.1\r\nContent-Length: 1\r\ncontent-length: 5\r\n\r\n"
        << Header{{"Content-Length", "1"}, {"content-length", "5"}};
    QTest::newRow("lines without colon are ignored")
        << "MYPOST /a HTTP/1.1\r\njunk\r\nHost: localhost\r\n   \r\nmore junk"
        << Header{{"Host", "localhost"}};
    QTest::newRow("body bytes after the empty line")
        << "MYPOST /a HTTP/1.1\r\nHost: localhost\r\n\r\ndocs\r\nfolder\r\nOVER\r\n"
        << Header{{"Host", "localhost"}};
    QTest::newRow("bare line feed does not end a line")
        << "MYPOST /a HTTP/1.1\r\nA: 1\nB: 2\r\n" << Header{{"A", "1\nB"}};
    QTest::newRow("request line is not a header")
        << "Host: x\r\nsender-name: y" << Header{{"sender-name", "y"}};
    QTest::newRow("leading line ends are trimmed")
        << "\r\n\r\nMYPOST /a HTTP/1.1\r\nHost: h\r\n" << Header{{"Host", "h"}};
    QTest::newRow("request line only") << "MYPOST /a HTTP/1.1\r\n\r\n" << Header();
    QTest::newRow("empty text") << "" << Header();
    QTest::newRow("empty value") << "MYPOST /a HTTP/1.1\r\nsender-name:\r\n"
                                 << Header{{"sender-name", ""}};
}

void TestTransferRequest::parseHeader()
{
    QFETCH(QString, text);
    QFETCH(Header, header);
    QCOMPARE(TransferRequest::parseHeader(text), header);
}

void TestTransferRequest::parseBuiltRequest()
{
    TransferRequest request;
    request.target = QStringLiteral("a.txt");
    request.kind = QStringLiteral("file");
    request.filesNumber = 1;
    request.itemsNumber = 4;
    request.contentLength = 1536;
    request.senderName = QStringLiteral("ruvak\r\nHost: evil");

    const Header header = TransferRequest::parseHeader(QString::fromUtf8(request.toUtf8()));
    const Header expected{{"Connection", "Keep-Alive"},
                          {"Content-Type", "application/file"},
                          {"Files-Number", "1"},
                          {"Items-Number", "4"},
                          {"Content-Length", "1536"},
                          {"User-Agent", "Dalvik"},
                          {"Host", "localhost"},
                          {"sender-name", "ruvak  Host"}};
    QCOMPARE(header, expected);
}

QTEST_GUILESS_MAIN(TestTransferRequest)
#include "tst_transferrequest.moc"
