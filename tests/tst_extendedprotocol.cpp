#include "protocol/announcement.h"
#include "protocol/contenthash.h"
#include "protocol/decimal.h"
#include "protocol/extendedbodyreader.h"
#include "protocol/extendedprotocol.h"
#include "protocol/manifest.h"
#include "protocol/transferplan.h"

#include <QtTest>

namespace {

const QByteArray hashA = QByteArray(32, 'a');
const QByteArray versionA = QByteArray(16, '0');
const QByteArray hashLine = "H " + hashA + "\n";

// Two folders and three files: "d", "d/x" (5 bytes), "d/y" (0), "e", "z" (10).
Manifest sample()
{
    const auto file = [](const char *size, const char *name) {
        return "F " + QByteArray(size) + " " + versionA + " " + hashA + " " + name + "\n";
    };
    Manifest manifest;
    Manifest::parse("D d\n" + file("5", "d/x") + file("0", "d/y") + "D e\n" + file("10", "z"),
                    &manifest);
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
    bool fileEnd(int index, const ContentHash::Value &sent) override
    {
        return note(QStringLiteral("end %1").arg(index)) && sent == hash;
    }
    ContentHash::Value hash;

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
    void numbers_data();
    void numbers();
    void messages_data();
    void messages();
    void lastWord_data();
    void lastWord();
    void hashAnswers();
    void body_data();
    void body();
    void hashContinuesFromACopy();
    void announcement_data();
    void announcement();
};

void TestExtendedProtocol::manifestRoundTrip()
{
    Manifest manifest;
    const qint64 big = Q_INT64_C(5368709120);
    manifest.items = {
        {QStringLiteral("文件夹"), false, 0, 0, false, {}},
        {QStringLiteral("文件夹/a b.txt"), true, big, 0xfedcba9876543210, true, {1, 2}},
        {QStringLiteral("not read yet"), true, 7, 1, false, {}}};
    Manifest parsed;
    QVERIFY(Manifest::parse(manifest.toBytes(), &parsed));
    QCOMPARE(parsed.toBytes(), manifest.toBytes());
    QCOMPARE(parsed.items.at(1).name, QStringLiteral("文件夹/a b.txt"));
    QCOMPARE(parsed.items.at(1).size, Q_INT64_C(5368709120)); // beyond 32 bits
    QCOMPARE(parsed.totalSize(), Q_INT64_C(5368709127));
}

void TestExtendedProtocol::manifestRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("line");

    const QByteArray f = "F 1 " + versionA + " " + hashA + " ";
    const QByteArray v = " " + versionA + " ";
    QTest::newRow("nothing") << QByteArray() << int(Manifest::Empty) << 0;
    QTest::newRow("no line end") << QByteArray("D a") << int(Manifest::Unended) << 1;
    QTest::newRow("unknown kind") << QByteArray("D a\nX b\n") << int(Manifest::BadKind) << 2;
    QTest::newRow("kind without space") << QByteArray("Da\n") << int(Manifest::BadKind) << 1;
    QTest::newRow("negative size") << "F -1" + v + hashA + " a\n" << int(Manifest::BadSize) << 1;
    QTest::newRow("leading zero") << "F 01" + v + hashA + " a\n" << int(Manifest::BadSize) << 1;
    QTest::newRow("size past 63 bits") << "F 9223372036854775808" + v + hashA + " a\n"
                                       << int(Manifest::BadSize) << 1;
    QTest::newRow("no version") << "F 1 " + hashA + " a\n" << int(Manifest::BadVersion) << 1;
    QTest::newRow("upper-case version") << "F 1 " + QByteArray(16, 'A') + " - a\n"
                                        << int(Manifest::BadVersion) << 1;
    QTest::newRow("no hash") << "F 1" + v + "a\n" << int(Manifest::BadHash) << 1;
    QTest::newRow("short hash") << "F 1" + v + "abc a\n" << int(Manifest::BadHash) << 1;
    QTest::newRow("two dashes") << "F 1" + v + "-- a\n" << int(Manifest::BadHash) << 1;
    QTest::newRow("upper-case hash") << "F 1" + v + QByteArray(32, 'A') + " a\n"
                                     << int(Manifest::BadHash) << 1;
    QTest::newRow("empty name") << QByteArray("D \n") << int(Manifest::BadName) << 1;
    QTest::newRow("space at the end") << f + "a \n" << int(Manifest::BadName) << 1;
    QTest::newRow("carriage return") << f + "a\rb\n" << int(Manifest::BadName) << 1;
    QTest::newRow("nul") << f + QByteArray("a\0b\n", 4) << int(Manifest::BadName) << 1;
    QTest::newRow("not utf-8") << f + "\xff\xfe\n" << int(Manifest::BadName) << 1;
    QTest::newRow("end marker") << QByteArray("D OVER\n") << int(Manifest::BadName) << 1;
    QTest::newRow("twice") << "D a\n" + f + "a\n" << int(Manifest::Duplicate) << 2;
    QTest::newRow("total overflows") << "F 9223372036854775807" + v + hashA + " a\n" + f + "b\n"
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
    manifest.items.append(Manifest::Item{QStringLiteral("kept"), false, 0, 0, false, {}});
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

    const QByteArray step = QByteArray::number(ExtendedProtocol::resumeStep);
    QTest::newRow("nothing: all whole") << QByteArray() << true;
    QTest::newRow("skip and resume") << "S 1\nR 4 " + step + "\n" << true;
    QTest::newRow("resume at a large offset") << QByteArray("R 5 9151314442816847872\n") << true;
    QTest::newRow("a folder") << QByteArray("S 0\n") << false;
    QTest::newRow("past the end") << QByteArray("S 6\n") << false;
    QTest::newRow("falling order") << QByteArray("S 2\nS 1\n") << false;
    QTest::newRow("twice") << QByteArray("S 1\nS 1\n") << false;
    QTest::newRow("resume at 0") << QByteArray("R 4 0\n") << false;
    QTest::newRow("resume between steps") << QByteArray("R 4 3\n") << false;
    QTest::newRow("resume at the size")
        << "R 4 " + QByteArray::number(3 * ExtendedProtocol::resumeStep) + "\n"
        << false;
    QTest::newRow("resume with a hash") << "R 4 " + step + " " + hashA + "\n" << false;
    QTest::newRow("index with a leading zero") << QByteArray("S 01\n") << false;
    QTest::newRow("unknown action") << QByteArray("W 1\n") << false;
    QTest::newRow("empty line") << QByteArray("\n") << false;
    QTest::newRow("no line end") << QByteArray("S 1") << false;
    QTest::newRow("overlong line") << "S 1" + QByteArray(200, ' ') + "\n" << false;
}

void TestExtendedProtocol::planRefuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);

    // "z" is three steps long here, and a sixth item as large as the manifest's total allows.
    Manifest manifest = sample();
    manifest.items[4].size = 3 * ExtendedProtocol::resumeStep;
    const qint64 huge = Decimal::maxValue - 4 * ExtendedProtocol::resumeStep;
    manifest.items << Manifest::Item{QStringLiteral("huge"), true, huge, 0, false, {}};
    TransferPlan plan;
    QCOMPARE(TransferPlan::parse(bytes, manifest, &plan), ok);
    if (!ok)
        return;
    QCOMPARE(plan.steps.size(), manifest.items.size());
    QCOMPARE(plan.toBytes(), bytes); // written back alike
    if (bytes.startsWith("S 1")) {
        QCOMPARE(plan.skippedFiles(), 1);
        QCOMPARE(plan.skippedBytes(manifest), qint64(5));
        QCOMPARE(plan.bytesToSend(manifest) - huge,
                 2 * ExtendedProtocol::resumeStep); // "d/y" whole, "z" from one step on
    }
}

void TestExtendedProtocol::numbers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<qint64>("value"); // -1: refused

    const qint64 max = Decimal::maxValue;
    QTest::newRow("zero") << QByteArray("0") << max << qint64(0);
    QTest::newRow("largest") << QByteArray("9223372036854775807") << max << max;
    QTest::newRow("one past the largest") << QByteArray("9223372036854775808") << max << qint64(-1);
    QTest::newRow("twenty digits") << QByteArray("10000000000000000000") << max << qint64(-1);
    QTest::newRow("at the limit") << QByteArray("65535") << qint64(65535) << qint64(65535);
    QTest::newRow("past the limit") << QByteArray("65536") << qint64(65535) << qint64(-1);
    QTest::newRow("leading zero") << QByteArray("01") << max << qint64(-1);
    QTest::newRow("empty") << QByteArray() << max << qint64(-1);
    QTest::newRow("sign") << QByteArray("+1") << max << qint64(-1);
    QTest::newRow("carriage return") << QByteArray("0\r") << max << qint64(-1);
    QTest::newRow("tab") << QByteArray("1\t") << max << qint64(-1);
    QTest::newRow("nul inside") << QByteArray("4\0002136", 6) << max << qint64(-1);
}

void TestExtendedProtocol::numbers()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, limit);
    QFETCH(qint64, value);

    qint64 found = -1;
    QCOMPARE(Decimal::parse(text, &found, limit), value >= 0);
    QCOMPARE(found, value);
    found = -1;
    QCOMPARE(Decimal::parse(QString::fromLatin1(text.constData(), text.size()), &found, limit),
             value >= 0);
}

void TestExtendedProtocol::messages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("taken"); // 0: not whole yet, -1: none of ours
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("detail");

    using M = ExtendedProtocol::Message;
    const QByteArray accepted = ExtendedProtocol::accept("S 1\n") + "K\n";
    QTest::newRow("planning") << ExtendedProtocol::planning(3, 7) << 6 << int(M::Planning) << "3/7";
    QTest::newRow("planning past its total") << QByteArray("W 8 7\n") << -1 << 0 << "";
    QTest::newRow("hashes needed")
        << ExtendedProtocol::needHashes({1, 4}) << 8 << int(M::NeedHashes) << "1,4";
    QTest::newRow("hashes needed, half") << QByteArray("C 2\n1\n") << 0 << 0 << "";
    QTest::newRow("hashes needed, falling") << QByteArray("C 2\n4\n1\n") << -1 << 0 << "";
    QTest::newRow("hashes needed, past the items") << QByteArray("C 1\n5\n") << -1 << 0 << "";
    QTest::newRow("hashes needed, none") << QByteArray("C 0\n") << -1 << 0 << "";
    const QByteArray nonce(32, '\xab');
    QTest::newRow("pairing") << ExtendedProtocol::receiverNonce(nonce) << 67 << int(M::Pairing)
                             << QString(nonce.toHex());
    QTest::newRow("pairing, upper-case") << "R " + QByteArray(64, 'A') + "\n" << -1 << 0 << "";
    QTest::newRow("pairing, short") << QByteArray("R abcd\n") << -1 << 0 << "";
    QTest::newRow("asking") << ExtendedProtocol::asking() << 2 << int(M::Asking) << "";
    QTest::newRow("accepted, what follows left") << accepted << 8 << int(M::Accepted) << "S 1\n";
    QTest::newRow("accepted, plan half") << accepted.left(6) << 0 << 0 << "";
    QTest::newRow("refused by the user")
        << ExtendedProtocol::refuse(QString()) << 3 << int(M::Refused) << "";
    QTest::newRow("refused with a reason")
        << ExtendedProtocol::refuse(QStringLiteral("保存路径不可写\r\n")) << 26 << int(M::Refused)
        << QStringLiteral("保存路径不可写  ");
    QTest::newRow("refused, not utf-8") << QByteArray("N \xff\n") << -1 << 0 << "";
    QTest::newRow("plain refusal") << QByteArray("HTTP/1.1 404 Not Found\r\n\r\n") << -1 << 0 << "";
    QTest::newRow("carriage return") << QByteArray("A\r\n") << -1 << 0 << "";
    QTest::newRow("endless line") << QByteArray(2000, 'W') << -1 << 0 << "";
}

void TestExtendedProtocol::messages()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, taken);
    QFETCH(int, kind);
    QFETCH(QString, detail);

    ExtendedProtocol::Message message;
    QCOMPARE(ExtendedProtocol::takeMessage(bytes, 5, &message), taken);
    if (taken <= 0)
        return;
    QCOMPARE(int(message.kind), kind);
    QString found;
    if (kind == ExtendedProtocol::Message::Planning)
        found = QStringLiteral("%1/%2").arg(message.done).arg(message.total);
    for (const int index : qAsConst(message.indexes))
        found += (found.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(index);
    found += QString::fromUtf8(message.plan + message.nonce.toHex()) + message.reason;
    QCOMPARE(found, detail);
    // The sender's answer is read by its own reader, which takes nothing else.
    QByteArray nonce;
    QCOMPARE(ExtendedProtocol::takeSenderNonce(bytes, &nonce), -1);
    const QByteArray answer = ExtendedProtocol::senderNonce(message.nonce);
    QCOMPARE(ExtendedProtocol::takeSenderNonce(answer, &nonce),
             kind == ExtendedProtocol::Message::Pairing ? answer.size() : -1);
}

void TestExtendedProtocol::lastWord_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("reason");

    QTest::newRow("done") << ExtendedProtocol::done() << int(ExtendedProtocol::EndDone) << "";
    QTest::newRow("failed") << ExtendedProtocol::failed(QStringLiteral("磁盘空间已满"))
                            << int(ExtendedProtocol::EndFailed) << QStringLiteral("磁盘空间已满");
    QTest::newRow("half") << QByteArray("X 磁") << int(ExtendedProtocol::EndIncomplete) << "";
    QTest::newRow("more after done")
        << QByteArray("K\nK\n") << int(ExtendedProtocol::EndInvalid) << "";
    QTest::newRow("something else")
        << QByteArray("OK\n") << int(ExtendedProtocol::EndInvalid) << "";
}

// The sender's answer to a hash request, read by the same rules as the receiver's lines.
void TestExtendedProtocol::hashAnswers()
{
    int index = 0;
    ContentHash::Value hash;
    QCOMPARE(
        ExtendedProtocol::takeHashAnswer(ExtendedProtocol::hashAnswer(3, {1, 2}), &index, &hash),
        35);
    QVERIFY(index == 3 && hash == (ContentHash::Value{1, 2}));
    QCOMPARE(ExtendedProtocol::takeHashAnswer("W\n", &index, &hash), 2);
    QCOMPARE(index, -1);
    QCOMPARE(ExtendedProtocol::takeHashAnswer("03 " + hashA + "\n", &index, &hash), -1);
}

void TestExtendedProtocol::lastWord()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, end);
    QFETCH(QString, reason);

    QString found;
    QCOMPARE(int(ExtendedProtocol::parseEnd(bytes, &found)), end);
    QCOMPARE(found, reason);
}

void TestExtendedProtocol::body_data()
{
    QTest::addColumn<QByteArray>("planBytes");
    QTest::addColumn<qint64>("resumeAt"); // where "z" continues; 0 when it comes whole
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("calls");
    QTest::addColumn<QByteArray>("contents");

    const QByteArray h = hashLine;
    const QByteArray skipX = "S 1\n";
    const QByteArray whole = "P 1 0\nhello" + h + "P 2 0\n" + h + "P 4 0\n0123456789" + h;
    const QString wholeCalls =
        QStringLiteral("folder 0,begin 1 0,end 1,begin 2 0,end 2,folder 3,begin 4 0,end 4");
    QTest::newRow("all whole") << QByteArray() << qint64(0) << whole + "E\n"
                               << int(ExtendedBodyReader::NoError) << wholeCalls
                               << QByteArray("hello0123456789");
    QTest::newRow("skip and resume")
        << skipX << qint64(3) << "P 2 0\n" + h + "P 4 3\n3456789" + h + "E\n"
        << int(ExtendedBodyReader::NoError)
        << "folder 0,skip 1,begin 2 0,end 2,folder 3,begin 4 3,end 4" << QByteArray("3456789");
    QTest::newRow("resumed file sent whole")
        << QByteArray() << qint64(3) << whole + "E\n"
        << int(ExtendedBodyReader::NoError) << wholeCalls << QByteArray("hello0123456789");
    QTest::newRow("another hash") << QByteArray() << qint64(0)
                                  << "P 1 0\nhelloH " + QByteArray(32, 'b') + "\n"
                                  << int(ExtendedBodyReader::HandlerFailed)
                                  << "folder 0,begin 1 0,end 1" << QByteArray("hello");
    QTest::newRow("no hash after the data")
        << QByteArray() << qint64(0) << QByteArray("P 1 0\nhelloP 2 0\n")
        << int(ExtendedBodyReader::BadLine) << "folder 0,begin 1 0" << QByteArray("hello");
    QTest::newRow("a part left out")
        << QByteArray() << qint64(0) << QByteArray("P 2 0\n") << int(ExtendedBodyReader::WrongPart)
        << "folder 0" << QByteArray();
    QTest::newRow("a skipped part sent")
        << skipX << qint64(0) << QByteArray("P 1 0\n") << int(ExtendedBodyReader::WrongPart) << ""
        << QByteArray();
    QTest::newRow("a part twice") << QByteArray() << qint64(0) << "P 1 0\nhello" + h + "P 1 0\n"
                                  << int(ExtendedBodyReader::WrongPart)
                                  << "folder 0,begin 1 0,end 1" << QByteArray("hello");
    QTest::newRow("a folder as a part") << QByteArray() << qint64(0) << QByteArray("P 0 0\n")
                                        << int(ExtendedBodyReader::WrongPart) << "" << QByteArray();
    QTest::newRow("an offset not planned")
        << QByteArray() << qint64(3) << "P 1 0\nhello" + h + "P 2 0\n" + h + "P 4 2\n"
        << int(ExtendedBodyReader::WrongOffset) << "folder 0,begin 1 0,end 1,begin 2 0,end 2"
        << QByteArray("hello");
    QTest::newRow("early end") << skipX << qint64(0) << "P 2 0\n" + h + "E\n"
                               << int(ExtendedBodyReader::EarlyEnd)
                               << "folder 0,skip 1,begin 2 0,end 2,folder 3" << QByteArray();
    QTest::newRow("bytes after the end")
        << skipX + "S 2\nS 4\n"
        << qint64(0) << QByteArray("E\nx") << int(ExtendedBodyReader::DataAfterEnd)
        << "folder 0,skip 1,skip 2,folder 3,skip 4" << QByteArray();
    QTest::newRow("overlong part line")
        << QByteArray() << qint64(0) << "P 1 " + QByteArray(100, '0')
        << int(ExtendedBodyReader::BadLine) << "" << QByteArray();
    QTest::newRow("garbage line") << QByteArray() << qint64(0) << QByteArray("hello\n")
                                  << int(ExtendedBodyReader::BadLine) << "" << QByteArray();
    // Nothing but the grammar's own bytes: no white space before the line end, no NUL in a number.
    for (const char *end : {"\r", "\t", "\v", "\f", " "})
        QTest::newRow(qPrintable(QStringLiteral("part line ending in %1").arg(int(*end))))
            << QByteArray() << qint64(0) << "P 1 0" + QByteArray(end) + "\n"
            << int(ExtendedBodyReader::BadLine) << "" << QByteArray();
    QTest::newRow("nul inside a number")
        << QByteArray() << qint64(0) << QByteArray("P 1\0zz 0\n", 9)
        << int(ExtendedBodyReader::BadLine) << "" << QByteArray();
    QTest::newRow("leading zero") << QByteArray() << qint64(0) << QByteArray("P 01 0\n")
                                  << int(ExtendedBodyReader::BadLine) << "" << QByteArray();
}

void TestExtendedProtocol::body()
{
    QFETCH(QByteArray, planBytes);
    QFETCH(qint64, resumeAt);
    QFETCH(QByteArray, body);
    QFETCH(int, error);
    QFETCH(QString, calls);
    QFETCH(QByteArray, contents);

    const Manifest manifest = sample();
    TransferPlan plan;
    QVERIFY(TransferPlan::parse(planBytes, manifest, &plan));
    if (resumeAt > 0) // below a resume step: made by hand, as no plan on the wire can say it
        plan.steps[4] = TransferPlan::Step{TransferPlan::Resume, resumeAt};
    // Fed a byte at a time as well as whole: pieces never matter.
    for (const bool bytewise : {false, true}) {
        Recorder recorder;
        QVERIFY(ContentHash::Value::fromHex(hashA, &recorder.hash));
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

void TestExtendedProtocol::announcement_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("taken");
    const QByteArray hex(64, 'c');
    const QByteArray head = "nubo-ext:3:10.0.0.2:";
    QTest::newRow("made") << Announcement::make("192.168.1.7", 42136, Fingerprint::fromHex(hex))
                          << true;
    QTest::newRow("port with a leading zero") << head + "042136:" + hex << false;
    QTest::newRow("without a fingerprint") << head + "42136" << true;
    QTest::newRow("short fingerprint") << head + "42136:" + hex.left(62) << false;
    QTest::newRow("upper-case fingerprint") << head + "42136:" + hex.toUpper() << false;
    QTest::newRow("a field more") << head + "42136:" + hex + ":x" << false;
    QTest::newRow("version 2") << "nubo-ext:2:10.0.0.2:1:" + hex << false;
    QTest::newRow("port 0") << QByteArray("nubo-ext:3:10.0.0.2:0") << false;
    QTest::newRow("port past 65535") << QByteArray("nubo-ext:3:10.0.0.2:65536") << false;
    QTest::newRow("a host name") << QByteArray("nubo-ext:3:host:1") << false;
    QTest::newRow("short address") << QByteArray("nubo-ext:3:10.1:1") << false;
    QTest::newRow("NUL in the port") << QByteArray("nubo-ext:3:10.0.0.2:4\0002136", 24) << false;
    QTest::newRow("a presence text") << QByteArray("alice:10.0.0.2:receive") << false;
    QTest::newRow("NUL after the address")
        << QByteArray("nubo-ext:3:10.0.0.2\0x:42136:", 28) + hex << false;
}

// Only the exact form is taken, and written back byte for byte; a refused one leaves all as it was.
void TestExtendedProtocol::announcement()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, taken);
    QString address;
    quint16 port = 0;
    Fingerprint fingerprint;
    QCOMPARE(Announcement::parse(datagram, &address, &port, &fingerprint), taken);
    QCOMPARE(Announcement::make(address, port, fingerprint), taken ? datagram : "nubo-ext:3::0");
}

QTEST_GUILESS_MAIN(TestExtendedProtocol)
#include "tst_extendedprotocol.moc"
