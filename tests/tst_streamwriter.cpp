#include "protocol/streamwriter.h"
#include "tempworkdir.h"

#include <QtTest>

#include <functional>

// An output that takes `limit` bytes and then refuses, as a full disk or a dropped connection
// would. `onWrite` runs before every write with the count taken so far.
class FailDevice : public QIODevice
{
public:
    explicit FailDevice(qint64 limit) : limit(limit) { open(QIODevice::WriteOnly); }

    QByteArray data;
    qint64 limit;
    std::function<void(qint64)> onWrite;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *bytes, qint64 length) override
    {
        if (onWrite)
            onWrite(data.size());
        const qint64 room = limit - data.size();
        if (room <= 0)
            return -1;
        const qint64 taken = qMin(room, length);
        data.append(bytes, int(taken));
        return taken;
    }
};

class TestStreamWriter : public QObject
{
    Q_OBJECT

private slots:
    void exactBytes_data();
    void exactBytes();
    void isValidName_data();
    void isValidName();
    void refusedNameWritesNothing();
    void unreadableSource_data();
    void unreadableSource();
    void tooLarge();
    void sourceChanges_data();
    void sourceChanges();
    void outputFails_data();
    void outputFails();
    void pieceCallbackStops_data();
    void pieceCallbackStops();

private:
    QString makeFile(const QString &name, const QByteArray &content);

    TempWorkDir workDir;
};

QString TestStreamWriter::makeFile(const QString &name, const QByteArray &content)
{
    const QString path = workDir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot make %s", qPrintable(path));
    return path;
}

void TestStreamWriter::exactBytes_data()
{
    // Each step is "folder NAME" or "file NAME CONTENT" (content may be empty).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("folder with a file")
        << QStringList{"folder docs", "file docs/a.txt hello"}
        << QByteArray("docs\r\nfolder\r\ndocs/a.txt\r\nfile\r\n5\r\nhelloFile end\r\nOVER\r\n");
    QTest::newRow("single empty file")
        << QStringList{"file e.txt"} << QByteArray("e.txt\r\nfile\r\n0\r\nFile end\r\nOVER\r\n");
    QTest::newRow("data with markers")
        << QStringList{"file m x\r\nFile end\r\nOVER\r\n"}
        << QByteArray("m\r\nfile\r\n19\r\nx\r\nFile end\r\nOVER\r\nFile end\r\nOVER\r\n");
    QTest::newRow("non-ascii name")
        << QStringList{QString::fromUtf8("folder 文件夹")}
        << QByteArray("\xe6\x96\x87\xe4\xbb\xb6\xe5\xa4\xb9\r\nfolder\r\nOVER\r\n");
}

void TestStreamWriter::exactBytes()
{
    QFETCH(QStringList, steps);
    QFETCH(QByteArray, bytes);

    QBuffer out;
    out.open(QIODevice::WriteOnly);
    StreamWriter writer(&out);
    int n = 0;
    for (const QString &step : steps) {
        const QString kind = step.section(QLatin1Char(' '), 0, 0);
        const QString name = step.section(QLatin1Char(' '), 1, 1);
        if (kind == QLatin1String("folder")) {
            QVERIFY(writer.writeFolder(name));
        } else {
            const QByteArray content = step.section(QLatin1Char(' '), 2).toUtf8();
            QVERIFY(writer.writeFile(name, makeFile(QString::number(n++), content)));
        }
        QCOMPARE(writer.error(), StreamWriter::NoError);
    }
    QVERIFY(writer.writeEnd());
    QCOMPARE(out.data(), bytes);
}

void TestStreamWriter::isValidName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    QTest::newRow("plain") << "a.txt" << true;
    QTest::newRow("nested") << "docs/sub/b.txt" << true;
    QTest::newRow("inner spaces") << "my docs/a b.txt" << true;
    QTest::newRow("non-ascii") << QString::fromUtf8("文件/数据.txt") << true;
    QTest::newRow("end marker inside a path") << "docs/OVER" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("carriage return") << "a\rb" << false;
    QTest::newRow("line feed") << "a\nb" << false;
    QTest::newRow("nul") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b")) << false;
    QTest::newRow("leading space") << " a" << false;
    QTest::newRow("trailing tab") << "a\t" << false;
    QTest::newRow("end marker") << "OVER" << false;
}

void TestStreamWriter::isValidName()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(StreamWriter::isValidName(name), valid);
}

void TestStreamWriter::refusedNameWritesNothing()
{
    const QString source = makeFile(QStringLiteral("s"), "data");
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    StreamWriter writer(&out);
    QVERIFY(!writer.writeFolder(QStringLiteral("a\r\nfile")));
    QCOMPARE(writer.error(), StreamWriter::InvalidName);
    QVERIFY(!writer.writeFile(QStringLiteral("b\nc"), source));
    QCOMPARE(writer.error(), StreamWriter::InvalidName);
    QVERIFY(out.data().isEmpty());
    // The writer goes on after a refused record.
    QVERIFY(writer.writeFolder(QStringLiteral("d")));
    QCOMPARE(writer.error(), StreamWriter::NoError);
    QCOMPARE(out.data(), QByteArray("d\r\nfolder\r\n"));
}

void TestStreamWriter::unreadableSource_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("missing file") << "missing";
    QTest::newRow("folder") << "folder";
}

void TestStreamWriter::unreadableSource()
{
    QFETCH(QString, source);
    QVERIFY(QDir(workDir.path()).mkpath(QStringLiteral("folder")));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    StreamWriter writer(&out);
    QVERIFY(!writer.writeFile(QStringLiteral("x"), workDir.filePath(source)));
    QCOMPARE(writer.error(), StreamWriter::SourceUnreadable);
    QVERIFY(out.data().isEmpty());
}

void TestStreamWriter::tooLarge()
{
    // Sparse: takes no disk space.
    const QString path = makeFile(QStringLiteral("big"), QByteArray());
    QFile big(path);
    QVERIFY(big.resize(StreamWriter::maxFileSize + 1));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    StreamWriter writer(&out);
    QVERIFY(!writer.writeFile(QStringLiteral("big"), path));
    QCOMPARE(writer.error(), StreamWriter::TooLarge);
    QVERIFY(out.data().isEmpty());
}

void TestStreamWriter::sourceChanges_data()
{
    QTest::addColumn<qint64>("newSize");
    QTest::newRow("shrinks after the first piece") << qint64(1024 * 1024 + 10);
    QTest::newRow("emptied") << qint64(0);
    QTest::newRow("grows") << qint64(3 * 1024 * 1024 + 1);
}

void TestStreamWriter::sourceChanges()
{
    QFETCH(qint64, newSize);
    const QString path = makeFile(QStringLiteral("changing"), QByteArray(3 * 1024 * 1024, 'z'));
    FailDevice out(std::numeric_limits<qint64>::max());
    bool changed = false;
    // Change the source once the record's first data piece has gone out.
    out.onWrite = [&](qint64 taken) {
        if (!changed && taken > 1024 * 1024) {
            changed = true;
            QVERIFY(QFile::resize(path, newSize));
        }
    };
    StreamWriter writer(&out);
    QVERIFY(!writer.writeFile(QStringLiteral("changing"), path));
    QVERIFY(changed);
    QCOMPARE(writer.error(), StreamWriter::SourceChanged);
    QVERIFY(!out.data.endsWith("File end\r\n"));
}

void TestStreamWriter::outputFails_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("step"); // 0 folder, 1 file, 2 end marker

    const qint64 header = QByteArray("f\r\nfile\r\n2097152\r\n").size();
    QTest::newRow("folder refused at once") << qint64(0) << 0;
    QTest::newRow("folder cut in its type line") << qint64(4) << 0;
    QTest::newRow("file refused at once") << qint64(0) << 1;
    QTest::newRow("file cut in its size line") << header - 1 << 1;
    QTest::newRow("file cut in the first piece") << header + 100 << 1;
    QTest::newRow("file cut in the second piece") << header + 1024 * 1024 + 1 << 1;
    QTest::newRow("file cut in the trailer") << header + 2 * 1024 * 1024 + 3 << 1;
    QTest::newRow("end marker cut") << qint64(2) << 2;
}

void TestStreamWriter::outputFails()
{
    QFETCH(qint64, limit);
    QFETCH(int, step);
    const QString path = makeFile(QStringLiteral("f"), QByteArray(2 * 1024 * 1024, 'y'));
    FailDevice out(limit);
    StreamWriter writer(&out);
    bool ok = false;
    if (step == 0)
        ok = writer.writeFolder(QStringLiteral("d"));
    else if (step == 1)
        ok = writer.writeFile(QStringLiteral("f"), path);
    else
        ok = writer.writeEnd();
    QVERIFY(!ok);
    QCOMPARE(writer.error(), StreamWriter::WriteFailed);
}

void TestStreamWriter::pieceCallbackStops_data()
{
    // Calls in order: folder record, file header, two data pieces, trailer, end marker.
    QTest::addColumn<int>("stopAt");
    QTest::newRow("in a folder record") << 1;
    QTest::newRow("after a file's header") << 2;
    QTest::newRow("after the first data piece") << 3;
    QTest::newRow("after the trailer") << 5;
    QTest::newRow("after the end marker") << 6;
    QTest::newRow("never") << 0;
}

void TestStreamWriter::pieceCallbackStops()
{
    QFETCH(int, stopAt);
    const QString path = makeFile(QStringLiteral("f"), QByteArray(1024 * 1024 + 1, 'p'));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    StreamWriter writer(&out);
    QList<qint64> seen; // bytes on the device at each call
    writer.setPieceWritten([&] {
        seen << out.size();
        return seen.size() != stopAt;
    });
    const bool written = writer.writeFolder(QStringLiteral("d")) &&
                         writer.writeFile(QStringLiteral("f"), path) && writer.writeEnd();
    QCOMPARE(written, stopAt == 0);
    QCOMPARE(writer.error(), stopAt == 0 ? StreamWriter::NoError : StreamWriter::Cancelled);
    QCOMPARE(seen.size(), stopAt == 0 ? 6 : stopAt);
    // Each call comes after its piece was handed over, and nothing is written after a stop.
    QCOMPARE(seen.last(), out.size());
    for (int i = 1; i < seen.size(); ++i)
        QVERIFY(seen.at(i) > seen.at(i - 1));
}

QTEST_GUILESS_MAIN(TestStreamWriter)
#include "tst_streamwriter.moc"
