// The send view without a session or a send: nothing here touches the network.
#include "send/uploadview.h"

#include "modalhelper.h"
#include "senddrop.h"
#include "tempworkdir.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

using namespace SendDrop;

class TestUploadView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void form();
    void dragEnterRules_data();
    void dragEnterRules();
    void droppedItemsArePacked_data();
    void droppedItemsArePacked();
    void refusedDrops_data();
    void refusedDrops();

private:
    QString path(const QString &name) const { return workDir->filePath("items/" + name); }

    std::unique_ptr<TempWorkDir> workDir;
};

void TestUploadView::init()
{
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
}

void TestUploadView::cleanup()
{
    workDir.reset();
}

void TestUploadView::form()
{
    UploadView view;
    QCOMPARE(view.objectName(), QString("UploadView"));
    QCOMPARE(view.size(), QSize(395, 295));
    QCOMPARE(view.windowTitle(), QString::fromUtf8("上传文件"));
    QVERIFY(view.acceptDrops());
    QCOMPARE(view.findChild<QLabel *>("label")->text(), QString::fromUtf8("发送进度:"));
    QCOMPARE(view.findChild<QProgressBar *>("progressBar")->value(), 0);
    auto *back = view.findChild<QPushButton *>("backPushButton");
    QVERIFY(back->text().isEmpty());
    QVERIFY(!back->icon().isNull());
    QCOMPARE(back->minimumWidth(), 73);
    QVERIFY(view.findChild<QTextBrowser *>("textBrowser"));
    QVERIFY(!view.sessionActive());
}

void TestUploadView::dragEnterRules_data()
{
    QTest::addColumn<QStringList>("entries"); // below items/; "http:" marks a remote URL
    QTest::addColumn<bool>("accepted");

    QTest::newRow("one folder") << QStringList{"D"} << true;
    QTest::newRow("one file") << QStringList{"a.txt"} << true;
    QTest::newRow("three files") << QStringList{"a.txt", "b.txt", "c.txt"} << true;
    QTest::newRow("no entry") << QStringList{} << true;
    QTest::newRow("one remote entry") << QStringList{"http:"} << true;
    QTest::newRow("folder and file") << QStringList{"a.txt", "D"} << false;
    QTest::newRow("two folders") << QStringList{"D", "E"} << false;
}

void TestUploadView::dragEnterRules()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, accepted);

    QVERIFY(makeFile(path("D/x"), "x"));
    QVERIFY(makeFile(path("E/y"), "y"));
    for (const char *name : {"a.txt", "b.txt", "c.txt"})
        QVERIFY(makeFile(path(name), "abc"));

    QList<QUrl> urls;
    for (const QString &entry : entries)
        urls << (entry == "http:" ? QUrl("http://example.invalid/a")
                                  : QUrl::fromLocalFile(path(entry)));
    UploadView view;
    QCOMPARE(dragEnter(view, urls), accepted);
}

void TestUploadView::droppedItemsArePacked_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("shownNames");
    QTest::addColumn<QByteArray>("stream");

    QTest::newRow("folder") << QStringList{"D"}
                            << QStringList{"D", "D/a.txt", "D/sub", "D/sub/b.txt"}
                            << QByteArray("D\r\nfolder\r\n"
                                          "D/a.txt\r\nfile\r\n5\r\nhelloFile end\r\n"
                                          "D/sub\r\nfolder\r\n"
                                          "D/sub/b.txt\r\nfile\r\n3\r\nbbbFile end\r\n"
                                          "OVER\r\n");
    QTest::newRow("three files") << QStringList{"c.txt", "a.txt", QString::fromUtf8("文件.txt")}
                                 << QStringList{"c.txt", "a.txt", QString::fromUtf8("文件.txt")}
                                 << QByteArray("c.txt\r\nfile\r\n1\r\ncFile end\r\n"
                                               "a.txt\r\nfile\r\n1\r\naFile end\r\n") +
                                        QString::fromUtf8("文件.txt").toUtf8() +
                                        QByteArray("\r\nfile\r\n2\r\nzhFile end\r\nOVER\r\n");
    QTest::newRow("hidden and linked entries")
        << QStringList{"H"} << QStringList{"H", "H/.profile", "H/plain"}
        << QByteArray("H\r\nfolder\r\n"
                      "H/.profile\r\nfile\r\n1\r\npFile end\r\n"
                      "H/plain\r\nfolder\r\n"
                      "OVER\r\n");
}

void TestUploadView::droppedItemsArePacked()
{
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, shownNames);
    QFETCH(QByteArray, stream);

    QVERIFY(makeFile(path("D/a.txt"), "hello"));
    QVERIFY(makeFile(path("D/sub/b.txt"), "bbb"));
    QVERIFY(makeFile(path("a.txt"), "a"));
    QVERIFY(makeFile(path("c.txt"), "c"));
    QVERIFY(makeFile(path(QString::fromUtf8("文件.txt")), "zh"));
    QVERIFY(makeFile(path("H/.profile"), "p"));
    QVERIFY(makeFile(path("H/.config/secret"), "s"));
    QVERIFY(QDir().mkpath(path("H/plain")));
    QVERIFY(QFile::link(path("a.txt"), path("H/link.txt")));

    QStringList paths;
    for (const QString &name : dropped)
        paths << path(name);
    UploadView view;
    ModalHelper chooser([](QWidget *modal) {
        QVERIFY(modal->inherits("UserListDialog"));
        QTest::keyClick(modal, Qt::Key_Escape);
    });
    QVERIFY(drop(view, fileUrls(paths)));
    QVERIFY2(chooser.answered, qPrintable(shownText(view)));

    QStringList expected;
    for (const QString &name : shownNames)
        expected << name + QString::fromUtf8(" 已添加"); // the tab shows as a space in HTML
    expected << QString::fromUtf8("添加成功！") << QString::fromUtf8("取消发送！");
    QCOMPARE(shownText(view).split('\n'), expected);
    QCOMPARE(readFile("send"), stream);
}

void TestUploadView::refusedDrops_data()
{
    QTest::addColumn<QStringList>("dropped"); // below items/; "http:" marks a remote URL
    QTest::addColumn<QString>("line");

    QTest::newRow("no entry") << QStringList{} << QString::fromUtf8("没有可发送的文件或文件夹！");
    QTest::newRow("only remote entries")
        << QStringList{"http:", "http:"} << QString::fromUtf8("没有可发送的文件或文件夹！");
    QTest::newRow("vanished file")
        << QStringList{"gone.txt"} << QString::fromUtf8("没有可发送的文件或文件夹！");
    QTest::newRow("line feed in a name inside the folder")
        << QStringList{"N"}
        << QString::fromUtf8("名称含有换行、空字符或首尾空白，无法发送：N/bad name");
    QTest::newRow("file of 4 GiB") << QStringList{"ok.txt", "huge.bin"}
                                   << QString::fromUtf8("文件不能超过4GB，无法发送：huge.bin");
}

void TestUploadView::refusedDrops()
{
    QFETCH(QStringList, dropped);
    QFETCH(QString, line);

    QVERIFY(makeFile(path("ok.txt"), "ok"));
    QVERIFY(makeFile(path("N/fine.txt"), "fine"));
    QVERIFY(makeFile(path("N/bad\nname"), "bad"));
    QVERIFY(makeFile(path("huge.bin"), ""));
    {
        QFile huge(path("huge.bin"));
        QVERIFY(huge.resize(Q_INT64_C(4294967296))); // sparse, takes no room
    }

    QList<QUrl> urls;
    for (const QString &entry : dropped)
        urls << (entry == "http:" ? QUrl("http://example.invalid/a")
                                  : QUrl::fromLocalFile(path(entry)));
    UploadView view;
    ModalHelper chooser([](QWidget *modal) { QTest::keyClick(modal, Qt::Key_Escape); }, 0);
    QVERIFY(drop(view, urls));

    QVERIFY(!chooser.answered);
    QCOMPARE(shownText(view), line);
    QVERIFY(!QFile::exists("send"));
}

QTEST_MAIN(TestUploadView)
#include "tst_uploadview.moc"
