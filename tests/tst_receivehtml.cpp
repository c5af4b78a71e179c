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

StreamUnpacker::Entry stored(const QString &name)
{
    return {name, QStringLiteral("/save/") + name, StreamItem::Stored};
}

} // namespace

Q_DECLARE_METATYPE(StreamUnpacker::Result)

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
    void refusalLine();
    void unpackReport_data();
    void unpackReport();
    void progressScalesTheBar_data();
    void progressScalesTheBar();
    void progressTextChangesOnlyWhenShownSizeDoes();
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

    // In a red or grey line: shown as it is, no link at all.
    for (const QString &html : {ReceiveHtml::problem(text), ReceiveHtml::notice(text)}) {
        QVERIFY(anchorsOf(html).isEmpty());
        QCOMPARE(plainTextOf(html), text);
        QVERIFY(!html.contains("<img"));
    }
}

void TestReceiveHtml::progressLine()
{
    // Names and markers make the body a little larger than the announced file sizes.
    QCOMPARE(
        ReceiveHtml::progress(10322, 10240),
        QString::fromUtf8("<p style='color:green;font-size:20px;font-weight:bold'>正在接收...</p>"
                          "<p style='font-size:30px;font-weight:bold'>10.08KB/10.00KB</p>"));
    QCOMPARE(plainTextOf(ReceiveHtml::progress(Q_INT64_C(3) << 30, Q_INT64_C(5) << 30)),
             QString::fromUtf8("正在接收...\n3.00GB/5.00GB"));
}

void TestReceiveHtml::refusalLine()
{
    QCOMPARE(
        ReceiveHtml::refused(),
        QString::fromUtf8("<p style='color:red;font-size:20px;font-weight:bold'>拒绝传输！</p>"));
}

void TestReceiveHtml::unpackReport_data()
{
    QTest::addColumn<StreamUnpacker::Result>("result");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QStringList>("lines"); // the plain text, line by line
    QTest::addColumn<bool>("success");

    const QString started = QString::fromUtf8("接收完成!");
    const QString parsing = QString::fromUtf8("正在解析流文件...");
    const QString done = QString::fromUtf8("完成!");
    const QString cut = QString::fromUtf8("传输中断，接收不完整！");
    const QString partly = QString::fromUtf8("部分项目未能保存！");

    StreamUnpacker::Result whole;
    whole.entries = {stored("docs"), stored("docs/a.txt"), stored("docs/b.txt")};
    whole.complete = true;
    QTest::newRow("whole and stored")
        << whole << QStringList{"docs", "docs/a.txt", "docs/b.txt"}
        << QStringList{started, parsing, "docs", "docs/a.txt", "docs/b.txt", done} << true;

    StreamUnpacker::Result cutShort;
    cutShort.entries = {stored("docs"), {"docs/big.bin", QString(), StreamItem::Incomplete}};
    QTest::newRow("cut inside a file")
        << cutShort << QStringList{"docs"}
        << QStringList{"docs", QString::fromUtf8("未完整收到：docs/big.bin"), cut} << false;

    StreamUnpacker::Result cutBetween;
    cutBetween.entries = {stored("a.txt"), {QString(), QString(), StreamItem::Incomplete}};
    QTest::newRow("cut between records")
        << cutBetween << QStringList{"a.txt"} << QStringList{"a.txt", cut} << false;

    StreamUnpacker::Result nothing;
    QTest::newRow("nothing arrived") << nothing << QStringList{} << QStringList{cut} << false;

    StreamUnpacker::Result refused;
    refused.entries = {{"../evil", QString(), StreamItem::Refused},
                       stored("ok.txt"),
                       {"full.bin", QString(), StreamItem::WriteFailed},
                       {"odd", QString(), StreamItem::UnknownType}};
    refused.complete = true;
    QTest::newRow("refused and failed items")
        << refused << QStringList{"ok.txt"}
        << QStringList{started,
                       parsing,
                       QString::fromUtf8("已拒绝不安全的名称：../evil"),
                       "ok.txt",
                       QString::fromUtf8("未能保存：full.bin"),
                       QString::fromUtf8("无法识别的项目：odd"),
                       partly}
        << false;
}

void TestReceiveHtml::unpackReport()
{
    QFETCH(StreamUnpacker::Result, result);
    QFETCH(QStringList, links);
    QFETCH(QStringList, lines);
    QFETCH(bool, success);

    const QString html = ReceiveHtml::unpackReport(result);
    QStringList shown;
    for (const Anchor &anchor : anchorsOf(html)) {
        shown << anchor.text;
        QCOMPARE(QUrl(anchor.href).toLocalFile(), "/save/" + anchor.text);
    }
    QCOMPARE(shown, links);
    QCOMPARE(plainTextOf(html).split('\n'), lines);
    QCOMPARE(ReceiveHtml::isSuccess(result), success);
}

void TestReceiveHtml::progressScalesTheBar_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("totalText");

    QTest::newRow("ten kilobytes") << Q_INT64_C(10240) << "10.00KB";
    QTest::newRow("just below two gigabytes") << qint64(INT_MAX) << "2.00GB";
    QTest::newRow("two gigabytes") << Q_INT64_C(2147483648) << "2.00GB";
    QTest::newRow("three gigabytes") << (Q_INT64_C(3) << 30) << "3.00GB";
    QTest::newRow("largest size a request carries") << Q_INT64_C(4294967295) << "4.00GB";
    QTest::newRow("twenty gigabytes") << (Q_INT64_C(20) << 30) << "20.00GB";
}

void TestReceiveHtml::progressScalesTheBar()
{
    QFETCH(qint64, total);
    QFETCH(QString, totalText);

    ReceiveProgress progress;
    progress.start(total);
    if (total <= INT_MAX)
        QCOMPARE(qint64(progress.barMaximum()), total);
    else
        QVERIFY(progress.barMaximum() > INT_MAX / 2);
    QCOMPARE(progress.barValue(), 0);

    progress.add(total / 4);
    progress.add(total / 4);
    QCOMPARE(progress.received(), total / 4 * 2);
    const double half = double(progress.barValue()) / progress.barMaximum();
    QVERIFY2(qAbs(half - 0.5) < 0.001, qPrintable(QString::number(half)));
    QVERIFY(progress.text().endsWith("/" + totalText));

    // The body's framing takes it past the announced size: the bar stays full, the text is true.
    progress.add(total - progress.received() + 2048);
    QCOMPARE(progress.barValue(), progress.barMaximum());
    QCOMPARE(progress.received(), total + 2048);
    QCOMPARE(progress.text().section('/', 1), totalText);

    progress.start(total);
    QCOMPARE(progress.received(), qint64(0));
    QCOMPARE(progress.barValue(), 0);
}

void TestReceiveHtml::progressTextChangesOnlyWhenShownSizeDoes()
{
    ReceiveProgress progress;
    progress.start(Q_INT64_C(3) << 30);
    QStringList texts;
    int changes = 0;
    // 64 MiB in chunks of 4 KiB: the shown size moves by 0.01MB, so most chunks change nothing.
    for (int i = 0; i < 16384; ++i) {
        if (progress.add(4096)) {
            ++changes;
            texts << progress.text();
        }
    }
    QCOMPARE(progress.received(), Q_INT64_C(64) << 20);
    QCOMPARE(texts.last(), QString("64.00MB/3.00GB"));
    QCOMPARE(texts.removeDuplicates(), 0);
    // 4.00KB to 1020.00KB, then 1.00MB to 64.00MB in steps of 0.01MB at most
    QVERIFY2(changes < 255 + 6400 && changes > 1000, qPrintable(QString::number(changes)));

    progress.start(0);
    QVERIFY(progress.add(10));
    QCOMPARE(progress.barMaximum(), 0);
    QCOMPARE(progress.text(), QString("10B/0B"));
}

QTEST_MAIN(TestReceiveHtml)
#include "tst_receivehtml.moc"
