#include "protocol/contenthash.h"
#include "protocol/extendedbodyreader.h"
#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"

#include <QtTest>

namespace {

const QByteArray hashA = QByteArray(32, 'a');

// Two folders and three files: "d", "d/x" (5 bytes), "d/y" (0), "e", "z" (10).
Manifest sample()
{
    Manifest manifest;
    const QByteArray text =
        "D d\nF 5 " + hashA + " d/x\nF 0 " + hashA + " d/y\nD e\nF 10 " + hashA + " z\n";
    Manifest::parse(text, &manifest);
    return manifest;
}

// Writes down every call, so that a sequence can be compared as one text.
class Recorder : public ExtendedBodyReader::Handler
{
public:
    QStringList calls;
    QByteArray contents;
    int refuseAt = -1;

    bool folder(int index) override { return note(QStringLiteral("folder %1").arg(index)); }
    bool skipped(int index) override { return note(QStringLiteral("skip %1").arg(index)); }
    bool fileBegin(int index, qint64 offset) override
    {
        return note(QStringLiteral("begin %1 %2").arg(index).arg(offset));
    }
    bool fileData(const char *data, qint64 length) override
    {
        contents.append(data, int(length));
        return true;
    }
    bool fileEnd(int index) override { return note(QStringLiteral("end %1").arg(index)); }

private:
    bool note(const QString &call)
    {
        calls << call;
        return calls.size() != refuseAt;
    }
};

} // namespace

class TestExtendedProtocol : public QObject
{
    Q_OBJECT

private slots:
    void manifestRoundTrip();
    void manifestRefuses_data();
    void manifestRefuses();
    void planRefuses_data();
    void planRefuses();
    void replies_data();
    void replies();
    void body_data();
    void body();
    void announcement();
    void hashContinuesFromACopy();
};

void TestExtendedProtocol::manifestRoundTrip()
{
    Manifest manifest;
    manifest.items = {{QStringLiteral("文件夹"), false, 0, {}},
                      {QStringLiteral("文件夹/a b.txt"), true, Q_INT64_C(5368709120), {1, 2}}};
    Manifest parsed;
    QVERIFY(Manifest::parse(manifest.toBytes(), &parsed));
    QCOMPARE(parsed.items.size(), 2);
    QCOMPARE(parsed.items.at(1).name, QStringLiteral("文件夹/a b.txt"));
    QCOMPARE(parsed.items.at(1).size, Q_INT64_C(5368709120)); // beyond 32 bits
    QVERIFY(parsed.items.at(1).hash == (ContentHash::Value{1, 2}));
    QCOMPARE(parsed.totalSize(), Q_INT64_C(5368709120));
}

void TestExtendedProtocol::manifestRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("line");

    const QByteArray f = "F 1 " + hashA + " ";
    QTest::newRow("nothing") << QByteArray() << int(Manifest::Empty) << 0;
    QTest::newRow("no line end") << QByteArray("D a") << int(Manifest::Unended) << 1;
    QTest::newRow("unknown kind") << QByteArray("D a\nX b\n") << int(Manifest::BadKind) << 2;
    QTest::newRow("kind without space") << QByteArray("Da\n") << int(Manifest::BadKind) << 1;
    QTest::newRow("negative size") << "F -1 " + hashA + " a\n" << int(Manifest::BadSize) << 1;
    QTest::newRow("plus sign") << "F +1 " + hashA + " a\n" << int(Manifest::BadSize) << 1;
    QTest::newRow("leading zero") << "F 01 " + hashA + " a\n" << int(Manifest::BadSize) << 1;
    QTest::newRow("size past 63 bits") << "F 9223372036854775808 " + hashA + " a\n"
                                       << int(Manifest::BadSize) << 1;
    QTest::newRow("no hash") << QByteArray("F 1 a\n") << int(Manifest::BadHash) << 1;
    QTest::newRow("short hash") << QByteArray("F 1 abc a\n") << int(Manifest::BadHash) << 1;
    QTest::newRow("upper-case hash") << "F 1 " + QByteArray(32, 'A') + " a\n"
                                     << int(Manifest::BadHash) << 1;
    QTest::newRow("empty name") << QByteArray("D \n") << int(Manifest::BadName) << 1;
    QTest::newRow("space at the end") << f + "a \n" << int(Manifest::BadName) << 1;
    QTest::newRow("carriage return") << f + "a\rb\n" << int(Manifest::BadName) << 1;
    QTest::newRow("nul") << f + QByteArray("a\0b\n", 4) << int(Manifest::BadName) << 1;
    QTest::newRow("not utf-8") << f + "\xff\xfe\n" << int(Manifest::BadName) << 1;
    QTest::newRow("end marker") << QByteArray("D OVER\n") << int(Manifest::BadName) << 1;
    QTest::newRow("twice") << "D a\n" + f + "a\n" << int(Manifest::Duplicate) << 2;
    QTest::newRow("total overflows")
        << "F 9223372036854775807 " + hashA + " a\nF 1 " + hashA + " b\n"
        << int(Manifest::BadTotal) << 2;
    QTest::newRow("too large") << QByteArray(Manifest::maxBytes + 1, 'D') << int(Manifest::TooLarge)
                               << 0;
}

void TestExtendedProtocol::manifestRefuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, error);
    QFETCH(int, line);

    Manifest manifest;
    manifest.items.append(Manifest::Item{QStringLiteral("kept"), false, 0, {}});
    Manifest::Error found = Manifest::NoError;
    int foundLine = -1;
    QVERIFY(!Manifest::parse(bytes, &manifest, &found, &foundLine));
    QCOMPARE(int(found), error);
    QCOMPARE(foundLine, line);
    QCOMPARE(manifest.items.size(), 1); // untouched
}

void TestExtendedProtocol::planRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");

    QTest::newRow("nothing: all whole") << QByteArray() << true;
    QTest::newRow("skip and resume") << "S 1\nR 4 3 " + hashA + "\n" << true;
    QTest::newRow("a folder") << QByteArray("S 0\n") << false;
    QTest::newRow("past the end") << QByteArray("S 5\n") << false;
    QTest::newRow("falling order") << QByteArray("S 2\nS 1\n") << false;
    QTest::newRow("twice") << QByteArray("S 1\nS 1\n") << false;
    QTest::newRow("resume at 0") << "R 4 0 " + hashA + "\n" << false;
    QTest::newRow("resume at the size") << "R 4 10 " + hashA + "\n" << false;
    QTest::newRow("resume of an empty file") << "R 2 1 " + hashA + "\n" << false;
    QTest::newRow("resume without hash") << QByteArray("R 4 3\n") << false;
    QTest::newRow("unknown action") << QByteArray("W 1\n") << false;
    QTest::newRow("no line end") << QByteArray("S 1") << false;
    QTest::newRow("overlong line") << "S 1" + QByteArray(200, ' ') + "\n" << false;
}

void TestExtendedProtocol::planRefuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);

    const Manifest manifest = sample();
    TransferPlan plan;
    QCOMPARE(TransferPlan::parse(bytes, manifest, &plan), ok);
    if (!ok)
        return;
    QCOMPARE(plan.steps.size(), manifest.items.size());
    QCOMPARE(plan.toBytes(), bytes); // written back alike
    if (!bytes.isEmpty()) {
        QCOMPARE(plan.skippedFiles(), 1);
        QCOMPARE(plan.skippedBytes(manifest), qint64(5));
        QCOMPARE(plan.bytesToSend(manifest), qint64(7)); // "d/y" whole, "z" from 3
    }
}

void TestExtendedProtocol::replies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("reply");
    QTest::addColumn<QByteArray>("plan");

    const QByteArray accepted = ExtendedProtocol::accept("S 1\n");
    QTest::newRow("accepted") << accepted << int(ExtendedProtocol::ReplyAccepted)
                              << QByteArray("S 1\n");
    QTest::newRow("accepted, empty plan") << ExtendedProtocol::accept(QByteArray())
                                          << int(ExtendedProtocol::ReplyAccepted) << QByteArray();
    QTest::newRow("plan still coming") << accepted.left(accepted.size() - 1)
                                       << int(ExtendedProtocol::ReplyIncomplete) << QByteArray();
    QTest::newRow("status line half")
        << accepted.left(5) << int(ExtendedProtocol::ReplyIncomplete) << QByteArray();
    QTest::newRow("refused") << QByteArray("HTTP/1.1 404 Not Found\r\n\r\n")
                             << int(ExtendedProtocol::ReplyRefused) << QByteArray();
    QTest::newRow("plain accept is not ours")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK")
        << int(ExtendedProtocol::ReplyInvalid) << QByteArray();
    QTest::newRow("no plan length") << QByteArray("NUBOEXT/1 200 OK\r\n\r\n")
                                    << int(ExtendedProtocol::ReplyInvalid) << QByteArray();
    QTest::newRow("plan length not a number")
        << QByteArray("NUBOEXT/1 200 OK\r\nPlan-Length: x\r\n\r\n")
        << int(ExtendedProtocol::ReplyInvalid) << QByteArray();
    QTest::newRow("endless header") << "NUBOEXT/1 200 OK\r\n" + QByteArray(70000, 'a')
                                    << int(ExtendedProtocol::ReplyInvalid) << QByteArray();
}

void TestExtendedProtocol::replies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, reply);
    QFETCH(QByteArray, plan);

    QByteArray found;
    QCOMPARE(int(ExtendedProtocol::parseReply(bytes, &found)), reply);
    QCOMPARE(found, plan);
}

void TestExtendedProtocol::body_data()
{
    QTest::addColumn<QByteArray>("planBytes");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("calls");
    QTest::addColumn<QByteArray>("contents");

    const QByteArray skipX = "S 1\n";
    const QByteArray resumeZ = "R 4 3 " + hashA + "\n";
    QTest::newRow("all whole")
        << QByteArray() << QByteArray("P 1 0\nhelloP 2 0\nP 4 0\n0123456789E\n")
        << int(ExtendedBodyReader::NoError)
        << "folder 0,begin 1 0,end 1,begin 2 0,end 2,folder 3,begin 4 0,end 4"
        << QByteArray("hello0123456789");
    QTest::newRow("skip and resume")
        << skipX + resumeZ << QByteArray("P 2 0\nP 4 3\n3456789E\n")
        << int(ExtendedBodyReader::NoError)
        << "folder 0,skip 1,begin 2 0,end 2,folder 3,begin 4 3,end 4" << QByteArray("3456789");
    QTest::newRow("resumed file sent whole")
        << resumeZ << QByteArray("P 1 0\nhelloP 2 0\nP 4 0\n0123456789E\n")
        << int(ExtendedBodyReader::NoError)
        << "folder 0,begin 1 0,end 1,begin 2 0,end 2,folder 3,begin 4 0,end 4"
        << QByteArray("hello0123456789");
    QTest::newRow("a part left out")
        << QByteArray() << QByteArray("P 2 0\n") << int(ExtendedBodyReader::WrongPart) << "folder 0"
        << QByteArray();
    QTest::newRow("a skipped part sent")
        << skipX << QByteArray("P 1 0\n") << int(ExtendedBodyReader::WrongPart) << ""
        << QByteArray();
    QTest::newRow("a part twice") << QByteArray() << QByteArray("P 1 0\nhelloP 1 0\n")
                                  << int(ExtendedBodyReader::WrongPart)
                                  << "folder 0,begin 1 0,end 1" << QByteArray("hello");
    QTest::newRow("a folder as a part") << QByteArray() << QByteArray("P 0 0\n")
                                        << int(ExtendedBodyReader::WrongPart) << "" << QByteArray();
    QTest::newRow("an offset not planned")
        << resumeZ << QByteArray("P 1 0\nhelloP 2 0\nP 4 2\n")
        << int(ExtendedBodyReader::WrongOffset) << "folder 0,begin 1 0,end 1,begin 2 0,end 2"
        << QByteArray("hello");
    QTest::newRow("early end") << skipX << QByteArray("P 2 0\nE\n")
                               << int(ExtendedBodyReader::EarlyEnd)
                               << "folder 0,skip 1,begin 2 0,end 2,folder 3" << QByteArray();
    QTest::newRow("bytes after the end")
        << skipX + "S 2\nS 4\n"
        << QByteArray("E\nx") << int(ExtendedBodyReader::DataAfterEnd)
        << "folder 0,skip 1,skip 2,folder 3,skip 4" << QByteArray();
    QTest::newRow("overlong part line") << QByteArray() << "P 1 " + QByteArray(100, '0')
                                        << int(ExtendedBodyReader::BadLine) << "" << QByteArray();
    QTest::newRow("garbage line") << QByteArray() << QByteArray("hello\n")
                                  << int(ExtendedBodyReader::BadLine) << "" << QByteArray();
}

void TestExtendedProtocol::body()
{
    QFETCH(QByteArray, planBytes);
    QFETCH(QByteArray, body);
    QFETCH(int, error);
    QFETCH(QString, calls);
    QFETCH(QByteArray, contents);

    const Manifest manifest = sample();
    TransferPlan plan;
    QVERIFY(TransferPlan::parse(planBytes, manifest, &plan));
    // Fed a byte at a time as well as whole: pieces never matter.
    for (const bool bytewise : {false, true}) {
        Recorder recorder;
        ExtendedBodyReader reader(manifest, plan, &recorder);
        bool ok = true;
        if (bytewise) {
            for (int i = 0; i < body.size() && ok; ++i)
                ok = reader.feed(body.constData() + i, 1);
        } else {
            ok = reader.feed(body.constData(), body.size());
        }
        QCOMPARE(int(reader.error()), error);
        QCOMPARE(ok, error == ExtendedBodyReader::NoError);
        QCOMPARE(reader.atEnd(),
                 error == ExtendedBodyReader::NoError || error == ExtendedBodyReader::DataAfterEnd);
        QCOMPARE(recorder.calls.join(QLatin1Char(',')), calls);
        QCOMPARE(recorder.contents, contents);
    }
}

void TestExtendedProtocol::announcement()
{
    QString address;
    quint16 port = 0;
    QVERIFY(ExtendedProtocol::parseAnnouncement(
        ExtendedProtocol::announcement(QStringLiteral("10.0.0.2"), 42136), &address, &port));
    QCOMPARE(address, QStringLiteral("10.0.0.2"));
    QCOMPARE(port, quint16(42136));
    for (const char *bad : {"nubo-ext:1:10.0.0.2:0", "nubo-ext:1:10.0.0.2:65536",
                            "nubo-ext:1:host:1", "nubo-ext:2:10.0.0.2:1", "alice:10.0.0.2:receive"})
        QVERIFY2(!ExtendedProtocol::parseAnnouncement(bad, &address, &port), bad);
}

// A resumed file's hash goes on from the hash of its first part.
void TestExtendedProtocol::hashContinuesFromACopy()
{
    const QByteArray first(3000000, 'x');
    const QByteArray rest = "the rest";
    ContentHash whole;
    whole.add(first.constData(), first.size());
    whole.add(rest.constData(), rest.size());

    ContentHash part;
    part.add(first.constData(), first.size());
    ContentHash resumed(part);
    resumed.add(rest.constData(), rest.size());
    QVERIFY(resumed.value() == whole.value());
    QCOMPARE(resumed.bytes(), qint64(first.size() + rest.size()));
    QVERIFY(part.value() != whole.value()); // the copy left its original alone

    ContentHash::Value parsed;
    QVERIFY(ContentHash::Value::fromHex(whole.value().toHex(), &parsed));
    QVERIFY(parsed == whole.value());
}

QTEST_GUILESS_MAIN(TestExtendedProtocol)
#include "tst_extendedprotocol.moc"
