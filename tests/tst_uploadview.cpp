// The send view without a session or a send: nothing here touches the network.
#include "send/uploadview.h"

#include "senddrop.h"
#include "tempworkdir.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
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
    void dropReturnsBeforeTheChooser_data();
    void dropReturnsBeforeTheChooser();
    void refusedDrops_data();
    void refusedDrops();

private:
    QString path(const QString &name) const { return workDir->filePath("items/" + name); }
    static QPushButton *cancelButton(UploadView &view)
    {
        return view.findChild<QPushButton *>("cancelPushButton");
    }
    static QString progressText(UploadView &view)
    {
        return view.findChild<QLabel *>("progressLabel")->text();
    }

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
    QCOMPARE(view.size(), QSize(395, 295));
    QCOMPARE(view.windowTitle(), QString::fromUtf8("上传文件"));
    QVERIFY(view.acceptDrops());
    QCOMPARE(view.findChild<QLabel *>("label")->text(), QString::fromUtf8("发送进度:"));
    QCOMPARE(view.findChild<QProgressBar *>("progressBar")->value(), 0);
    auto *back = view.findChild<QPushButton *>("backPushButton");
    QVERIFY(back->text().isEmpty());
    QVERIFY(!back->icon().isNull());
    QCOMPARE(back->minimumWidth(), 73);
    QCOMPARE(cancelButton(view)->text(), QString::fromUtf8("取消"));
    QVERIFY(cancelButton(view)->isHidden());
    QVERIFY(progressText(view).isEmpty());
    QVERIFY(view.findChild<QTextBrowser *>("textBrowser"));
    QVERIFY(!view.sessionActive());
}

void TestUploadView::dropReturnsBeforeTheChooser_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("shownNames");
    QTest::addColumn<QString>("added");

    const QString added = QString::fromUtf8("添加成功！");
    QTest::newRow("folder") << QStringList{"D"}
                            << QStringList{"D", "D/a.txt", "D/sub", "D/sub/b.txt"} << added;
    QTest::newRow("three files") << QStringList{"c.txt", "a.txt", QString::fromUtf8("文件.txt")}
                                 << QStringList{"c.txt", "a.txt", QString::fromUtf8("文件.txt")}
                                 << added;
    // They are not sent, and the user is told so rather than that all was added.
    QTest::newRow("folder with a hidden folder and a link")
        << QStringList{"H"} << QStringList{"H", "H/.dot", "H/x.txt"}
        << QString::fromUtf8("已添加，2 个隐藏文件夹或链接未添加");
    QStringList many{"M"};
    for (int i = 0; i < 300; ++i)
        many << QStringLiteral("M/%1.txt").arg(i, 3, 10, QLatin1Char('0'));
    QTest::newRow("folder of many files") << QStringList{"M"} << many << added;
}

void TestUploadView::dropReturnsBeforeTheChooser()
{
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, shownNames);
    QFETCH(QString, added);

    for (const QString &name : shownNames.mid(1)) {
        if (name.startsWith("M/") || name.startsWith("H/"))
            QVERIFY(makeFile(path(name), "x"));
    }
    QVERIFY(makeFile(path("H/.hidden/y.txt"), "y"));
    QVERIFY(QFile::link(path("H/x.txt"), path("H/link.txt")));
    QVERIFY(makeFile(path("D/a.txt"), "hello"));
    QVERIFY(makeFile(path("D/sub/b.txt"), "bbb"));
    QVERIFY(makeFile(path("a.txt"), "a"));
    QVERIFY(makeFile(path("c.txt"), "c"));
    QVERIFY(makeFile(path(QString::fromUtf8("文件.txt")), "zh"));
    QStringList paths;
    for (const QString &name : dropped)
        paths << path(name);
    UploadView view;
    view.show();

    // The drag source is released before anything is asked.
    QVERIFY(drop(view, fileUrls(paths)));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(!cancelButton(view)->isHidden());
    QVERIFY(progressText(view).contains(QString::fromUtf8("正在准备...")));
    QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget(), 10000);
    QWidget *chooser = QApplication::activeModalWidget();
    QVERIFY(chooser->inherits("UserListDialog"));

    QStringList expected;
    for (const QString &name : shownNames)
        expected << name + QString::fromUtf8(" 已添加"); // the tab shows as a space in HTML
    expected << added;
    QTRY_COMPARE_WITH_TIMEOUT(shownText(view).split('\n'), expected, 10000);
    // Nothing else can be picked while this transfer runs.
    QVERIFY(!view.findChild<QPushButton *>("chooseFilesPushButton")->isEnabled());
    QTest::keyClick(chooser, Qt::Key_Escape);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    expected << QString::fromUtf8("取消发送！");
    QTRY_COMPARE(shownText(view).split('\n'), expected);
    // The list follows its last line, also when it was filled before the view was shown.
    view.hide();
    view.resize(view.width() - 100, view.height() - 50);
    view.show();
    const QScrollBar *bar = view.findChild<QTextBrowser *>("textBrowser")->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(cancelButton(view)->isHidden());
    QVERIFY(!view.transferRunning());
    // The heading says how it ended, and the same items can be sent again.
    QVERIFY(!progressText(view).contains(QString::fromUtf8("正在准备...")));
    QVERIFY(!view.findChild<QPushButton *>("resendPushButton")->isHidden());
    QVERIFY(view.findChild<QPushButton *>("chooseFilesPushButton")->isEnabled());
}

void TestUploadView::refusedDrops_data()
{
    QTest::addColumn<QStringList>("dropped"); // below items/
    QTest::addColumn<QString>("line");

    QTest::newRow("no entry") << QStringList{} << QString::fromUtf8("没有可发送的文件或文件夹！");
    QTest::newRow("line feed in a name inside the folder")
        << QStringList{"N"}
        << QString::fromUtf8("名称含有换行、空字符或首尾空白，无法发送：N/bad name");
    QTest::newRow("folder and file")
        << QStringList{"ok.txt", "N"} << QString::fromUtf8("只能拖入一个文件夹，或多个文件");
    QTest::newRow("two folders") << QStringList{"N", "M"}
                                 << QString::fromUtf8("只能拖入一个文件夹，或多个文件");
}

void TestUploadView::refusedDrops()
{
    QFETCH(QStringList, dropped);
    QFETCH(QString, line);

    QVERIFY(makeFile(path("ok.txt"), "ok"));
    QVERIFY(makeFile(path("N/fine.txt"), "fine"));
    QVERIFY(makeFile(path("N/bad\nname"), "bad"));
    QVERIFY(makeFile(path("M/m.txt"), "m"));
    QStringList paths;
    for (const QString &name : dropped)
        paths << path(name);
    UploadView view;
    view.show();
    QVERIFY(drop(view, fileUrls(paths)));

    // The chooser may have opened meanwhile; the failure closes it.
    QTRY_COMPARE_WITH_TIMEOUT(shownText(view), line, 10000);
    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(cancelButton(view)->isHidden());
    QVERIFY(!view.transferRunning());
}

QTEST_MAIN(TestUploadView)
#include "tst_uploadview.moc"
