#include "receive/receivehtml.h"
#include "receive/receiveprogress.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QUrl>
#include <QtTest>

#include <climits>

namespace {

struct Anchor
{
    QString href;
    QString text;
};

// Every run of text that carries a link, as Qt's own HTML reader understood the markup.
QList<Anchor> anchorsOf(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    QList<Anchor> anchors;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().isAnchor())
                anchors.append({fragment.charFormat().anchorHref(), fragment.text()});
        }
    }
    return anchors;
}

QString plainTextOf(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

StoredEntry stored(const QString &name)
{
    return {name, QStringLiteral("/save/") + name, StoredEntry::Stored};
}

} // namespace

class TestReceiveHtml : public QObject
{
    Q_OBJECT

private slots:
    void linkOpensTheStoredItem_data();
    void linkOpensTheStoredItem();
    void windowsPathBecomesFileUrl();
    void peerTextNeverBecomesMarkup_data();
    void peerTextNeverBecomesMarkup();
    void progressLine();
    void fixedLines();
    void entries_data();
    void entries();
    void clashNotes();
    void progressScalesTheBar_data();
    void progressScalesTheBar();
    void emptyOfferKeepsTheBarStill();
};

void TestReceiveHtml::linkOpensTheStoredItem_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("storedPath");

    QTest::newRow("plain name") << "a.txt"
                                << "/home/u/save/a.txt";
    QTest::newRow("nested name") << "docs/sub/b.txt"
                                 << "/home/u/save/docs/sub/b.txt";
    QTest::newRow("spaces and hash") << "my file #2.txt"
                                     << "/home/u/my save/my file #2.txt";
    QTest::newRow("percent") << "100%25 done.txt"
                             << "/home/u/save/100%25 done.txt";
    QTest::newRow("quote and angle brackets") << "a\"<b>\".txt"
                                              << "/home/u/save/a\"<b>\".txt";
    QTest::newRow("ampersand and apostrophe") << "R&D's.txt"
                                              << "/home/u/save/R&D's.txt";
    QTest::newRow("chinese") << QString::fromUtf8("报告 终稿.docx")
                             << QString::fromUtf8("/home/用户/保存/报告 终稿.docx");
    QTest::newRow("question mark") << "why?.txt"
                                   << "/home/u/save/why?.txt";
}

void TestReceiveHtml::linkOpensTheStoredItem()
{
    QFETCH(QString, name);
    QFETCH(QString, storedPath);

    const QList<Anchor> anchors = anchorsOf(ReceiveHtml::link(name, storedPath));
    QCOMPARE(anchors.size(), 1);
    QCOMPARE(anchors.first().text, name);
    const QUrl url(anchors.first().href);
    QVERIFY(url.isLocalFile());
    QCOMPARE(url.toLocalFile(), storedPath);
    QVERIFY(url.fragment().isEmpty());
    QVERIFY(url.query().isEmpty());
}

void TestReceiveHtml::windowsPathBecomesFileUrl()
{
    const QList<Anchor> anchors =
        anchorsOf(ReceiveHtml::link("a b.txt", "C:/Users/u/save/a b.txt"));
    QCOMPARE(anchors.size(), 1);
    QCOMPARE(anchors.first().href, QString("file:///C:/Users/u/save/a%20b.txt"));
}

void TestReceiveHtml::peerTextNeverBecomesMarkup_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("link") << "<a href='http://example.invalid/'>click</a>";
    QTest::newRow("unclosed link") << "<a href=\"file:///etc/passwd\">x";
    QTest::newRow("image") << "<img src='file:///etc/passwd'>";
    QTest::newRow("closing paragraph") << "</p></div><a href=x>y";
    QTest::newRow("entity") << "&lt;b&gt; &amp;amp;";
}

void TestReceiveHtml::peerTextNeverBecomesMarkup()
{
    QFETCH(QString, text);

    // As a link's name: one link, to the stored item, showing the text as it is.
    const QList<Anchor> anchors = anchorsOf(ReceiveHtml::link(text, "/save/item"));
    QCOMPARE(anchors.size(), 1);
    QCOMPARE(anchors.first().text, text);
    QCOMPARE(QUrl(anchors.first().href).toLocalFile(), QString("/save/item"));

    // In a red, grey or green line: shown as it is, no link at all.
    for (const QString &html :
         {ReceiveHtml::problem(text), ReceiveHtml::notice(text), ReceiveHtml::success(text)}) {
        QVERIFY(anchorsOf(html).isEmpty());
        QCOMPARE(plainTextOf(html), text);
        QVERIFY(!html.contains("<img"));
    }
    const QString failed = ReceiveHtml::entries({{text, QString(), StoredEntry::Invalid}});
    QVERIFY(anchorsOf(failed).isEmpty());
    QVERIFY(plainTextOf(failed).endsWith(text));
    const QString progress = ReceiveHtml::progress(text, 1, 2, text);
    QVERIFY(anchorsOf(progress).isEmpty());
    QCOMPARE(plainTextOf(progress), text + "\n1B/2B\n" + text);

    // A tooltip takes anything that looks like markup as markup, so it is always handed markup.
    const QString tip = ReceiveHtml::toolTip("/save/" + text);
    QVERIFY(Qt::mightBeRichText(tip));
    QCOMPARE(plainTextOf(tip), "/save/" + text);
}

void TestReceiveHtml::progressLine()
{
    // Names and markers make the body a little larger than the announced file sizes.
    QCOMPARE(
        ReceiveHtml::progress(QString::fromUtf8("正在接收..."), 10322, 10240,
                              QString::fromUtf8("1.0MB/s，剩余 0:07")),
        QString::fromUtf8("<p style='color:green;font-size:20px;font-weight:bold'>正在接收...</p>"
                          "<p style='font-size:30px;font-weight:bold'>10.08KB/10.00KB</p>"
                          "<p style='color:gray;font-size:14px'>1.0MB/s，剩余 0:07</p>"));
    QCOMPARE(plainTextOf(ReceiveHtml::progress("t", Q_INT64_C(3) << 30, Q_INT64_C(5) << 30, "r")),
             QString("t\n3.00GB/5.00GB\nr"));
}

void TestReceiveHtml::fixedLines()
{
    // An ended transfer: no rate line, and a failure in red.
    QCOMPARE(ReceiveHtml::endHeading(QString::fromUtf8("接收中断"), true, 1536, 2048),
             QString::fromUtf8("<p style='color:red;font-size:20px;font-weight:bold'>接收中断</p>"
                               "<p style='font-size:30px;font-weight:bold'>1.50KB/2.00KB</p>"));
    QCOMPARE(plainTextOf(ReceiveHtml::endHeading("ok", false, 0, 0)), QString("ok\n0B/0B"));
    QVERIFY(ReceiveHtml::endHeading("ok", false, 0, 0).contains("color:green"));
    QCOMPARE(
        ReceiveHtml::refused(),
        QString::fromUtf8("<p style='color:red;font-size:20px;font-weight:bold'>拒绝传输！</p>"));
    QCOMPARE(
        ReceiveHtml::success(QString::fromUtf8("接收完成！")),
        QString::fromUtf8("<p style='color:green;font-size:20px;font-weight:bold'>接收完成！</p>"));
}

void TestReceiveHtml::entries_data()
{
    QTest::addColumn<QList<StoredEntry>>("entries");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QStringList>("lines"); // the plain text, line by line
    QTest::addColumn<int>("paragraphs");

    const auto failed = [](const char *name, StoredEntry::Status status) {
        return StoredEntry{QString::fromUtf8(name), QString(), status};
    };
    // Links share one paragraph, a line each, however many there are.
    QTest::newRow("stored items") << QList<StoredEntry>{stored("docs"), stored("docs/a"),
                                                        stored("docs/b")}
                                  << QStringList{"docs", "docs/a", "docs/b"}
                                  << QStringList{"docs", "docs/a", "docs/b"} << 1;
    QTest::newRow("refused name") << QList<StoredEntry>{stored("a"),
                                                        failed("../evil", StoredEntry::Refused)}
                                  << QStringList{"a"}
                                  << QStringList{"a",
                                                 QString::fromUtf8("已拒绝不安全的名称：../evil")}
                                  << 2;
    QTest::newRow("write failed")
        << QList<StoredEntry>{failed("full.bin", StoredEntry::WriteFailed), stored("b")}
        << QStringList{"b"} << QStringList{QString::fromUtf8("未能保存：full.bin"), "b"} << 2;
    QTest::newRow("unknown type") << QList<StoredEntry>{failed("odd", StoredEntry::UnknownType)}
                                  << QStringList{}
                                  << QStringList{QString::fromUtf8("无法识别的项目：odd")} << 1;
    QTest::newRow("framing error")
        << QList<StoredEntry>{failed("a.txt", StoredEntry::Invalid)} << QStringList{}
        << QStringList{QString::fromUtf8("数据格式错误：a.txt")} << 1;
    QTest::newRow("more than announced")
        << QList<StoredEntry>{failed("c", StoredEntry::Excess)} << QStringList{}
        << QStringList{QString::fromUtf8("超出对方声明的项目数或大小：c")} << 1;
    QTest::newRow("cut inside a file")
        << QList<StoredEntry>{stored("docs"), failed("docs/big.bin", StoredEntry::Incomplete)}
        << QStringList{"docs"} << QStringList{"docs", QString::fromUtf8("未完整收到：docs/big.bin")}
        << 2;
    QTest::newRow("cut between records")
        << QList<StoredEntry>{stored("a.txt"), failed("", StoredEntry::Incomplete)}
        << QStringList{"a.txt"} << QStringList{"a.txt"} << 1;
    QTest::newRow("file continued, then stored")
        << QList<StoredEntry>{{"big.bin", "/save/big.bin", StoredEntry::Resumed,
                               StoredEntry::NoClash, Q_INT64_C(1288490189)},
                              stored("big.bin")}
        << QStringList{"big.bin"}
        << QStringList{QString::fromUtf8("big.bin：从 1.20GB 处继续"), "big.bin"} << 2;
    QTest::newRow("hash differs") << QList<StoredEntry>{failed("a.bin", StoredEntry::Mismatch)}
                                  << QStringList{}
                                  << QStringList{QString::fromUtf8("文件校验失败，未保存：a.bin")}
                                  << 1;
    QTest::newRow("nothing") << QList<StoredEntry>{} << QStringList{} << QStringList{""} << 0;
}

void TestReceiveHtml::entries()
{
    QFETCH(QList<StoredEntry>, entries);
    QFETCH(QStringList, links);
    QFETCH(QStringList, lines);
    QFETCH(int, paragraphs);

    const QString html = ReceiveHtml::entries(entries);
    QStringList shown;
    for (const Anchor &anchor : anchorsOf(html)) {
        shown << anchor.text;
        QCOMPARE(QUrl(anchor.href).toLocalFile(), "/save/" + anchor.text);
    }
    QCOMPARE(shown, links);
    QCOMPARE(plainTextOf(html).split('\n'), lines);
    QCOMPARE(html.count("<p"), paragraphs);
    for (const StoredEntry &entry : entries)
        QCOMPARE(ReceiveHtml::entryProblem(entry).isEmpty(),
                 entry.status == StoredEntry::Stored || entry.status == StoredEntry::Resumed ||
                     entry.name.isEmpty());
}

// What the name-clash rule did follows the item's link, which leads to where the item is; inside
// a folder stored in place it is said for each file.
void TestReceiveHtml::clashNotes()
{
    const QList<StoredEntry> entries{
        {"a<b>", "/save/a<b>", StoredEntry::Stored, StoredEntry::Replaced},
        {"c", "/save/c (1)", StoredEntry::Stored, StoredEntry::Renamed},
        {"d", "/save/d", StoredEntry::Stored, StoredEntry::Skipped},
        {"e/g", "/save/e/g (1)", StoredEntry::Stored, StoredEntry::Renamed},
        {"i", "/save/i", StoredEntry::Stored, StoredEntry::Unchanged}};
    QString html = ReceiveHtml::entries(entries);
    html += ReceiveHtml::unchangedLine(3);
    QCOMPARE(plainTextOf(html).split('\n'),
             QString::fromUtf8("a<b>（已替换）\nc（已另存为 c (1)）\nd（已跳过）\ne/g（已另存为 g "
                               "(1)）\ni（未改变，已跳过）\n3 个文件未改变，未再接收")
                 .split('\n'));
    const QList<Anchor> anchors = anchorsOf(html);
    QCOMPARE(anchors.size(), 5);
    QCOMPARE(QUrl(anchors.at(1).href).toLocalFile(), QString("/save/c (1)"));
}

void TestReceiveHtml::progressScalesTheBar_data()
{
    QTest::addColumn<qint64>("total");

    QTest::newRow("ten kilobytes") << Q_INT64_C(10240);
    QTest::newRow("just below two gigabytes") << qint64(INT_MAX);
    QTest::newRow("two gigabytes") << Q_INT64_C(2147483648);
    QTest::newRow("three gigabytes") << (Q_INT64_C(3) << 30);
    QTest::newRow("largest size a request carries") << Q_INT64_C(4294967295);
    QTest::newRow("twenty gigabytes") << (Q_INT64_C(20) << 30);
}

void TestReceiveHtml::progressScalesTheBar()
{
    QFETCH(qint64, total);

    ReceiveProgress progress;
    progress.start(total);
    if (total <= INT_MAX)
        QCOMPARE(qint64(progress.barMaximum()), total);
    else
        QVERIFY(progress.barMaximum() > INT_MAX / 2);
    QCOMPARE(progress.barValue(), 0);

    progress.setReceived(total / 2);
    QCOMPARE(progress.received(), total / 2);
    const double half = double(progress.barValue()) / progress.barMaximum();
    QVERIFY2(qAbs(half - 0.5) < 0.001, qPrintable(QString::number(half)));

    // Never above what was announced, whatever a peer sends.
    progress.setReceived(total + 2048);
    QCOMPARE(progress.barValue(), progress.barMaximum());
    QCOMPARE(progress.received(), total);

    progress.start(total);
    QCOMPARE(progress.received(), qint64(0));
    QCOMPARE(progress.barValue(), 0);
}

void TestReceiveHtml::emptyOfferKeepsTheBarStill()
{
    // A bar with the maximum 0 shows a busy animation that never ends.
    ReceiveProgress progress;
    progress.start(0);
    QVERIFY(progress.barMaximum() > 0);
    QCOMPARE(progress.barValue(), 0);
}

QTEST_MAIN(TestReceiveHtml)
#include "tst_receivehtml.moc"
