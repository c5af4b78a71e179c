#include "cli/clioptions.h"

#include <QtTest>

class TestCliOptions : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void paths_data();
    void paths();
};

using Command = CliOptions::Command;

void TestCliOptions::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // found in the error; empty: none
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("shape"); // the options read, as summary() below writes them

    const int send = int(Command::Send), receive = int(Command::Receive);
    QTest::newRow("send to a name")
        << QStringList{"send", "a", "b", "--to", "hostA"} << "" << send << "a,b|hostA|2|0||ask|0";
    QTest::newRow("send with wait and json")
        << QStringList{"send", "--wait", "5", "--json", "x"} << "" << send << "x||5|1||ask|0";
    QTest::newRow("send without paths") << QStringList{"send", "--to", "h"} << "请指定" << send;
    QTest::newRow("send help without paths")
        << QStringList{"send", "-h"} << "" << send << "||2|0||ask|0";
    QTest::newRow("to without value") << QStringList{"send", "x", "--to"} << "缺少值" << send;
    QTest::newRow("wait not a number")
        << QStringList{"send", "x", "--wait", "soon"} << "--wait" << send;
    QTest::newRow("wait zero") << QStringList{"send", "x", "--wait", "0"} << "--wait" << send;
    QTest::newRow("receive option on send")
        << QStringList{"send", "x", "--once"} << "未知的选项" << send;
    QTest::newRow("receive defaults") << QStringList{"receive"} << "" << receive << "||2|0||ask|0";
    QTest::newRow("receive all once")
        << QStringList{"receive", "--accept", "all", "--once", "--save", "/s", "--json"} << ""
        << receive << "||2|1|/s|all|1";
    QTest::newRow("accept known") << QStringList{"receive", "--accept", "known"} << "" << receive
                                  << "||2|0||known|0";
    QTest::newRow("accept other") << QStringList{"receive", "--accept", "some"} << "--accept"
                                  << receive;
    QTest::newRow("receive takes no paths")
        << QStringList{"receive", "x"} << "多余的参数" << receive;
    QTest::newRow("send option on receive")
        << QStringList{"receive", "--to", "h"} << "未知的选项" << receive;
    QTest::newRow("unknown command") << QStringList{"fetch"} << "未知的命令" << int(Command::None);
}

static QString summary(const CliOptions &o)
{
    return QStringList{o.paths.join(','),
                       o.to,
                       QString::number(o.waitSeconds),
                       QString::number(o.json),
                       o.saveDir,
                       o.accept == CliOptions::Accept::All     ? "all"
                       : o.accept == CliOptions::Accept::Known ? "known"
                                                               : "ask",
                       QString::number(o.once)}
        .join('|');
}

void TestCliOptions::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(int, command);
    const CliOptions options = CliOptions::parse(arguments);
    QCOMPARE(int(options.command), command);
    if (!error.isEmpty()) {
        QVERIFY2(options.error.contains(error), qPrintable(options.error));
        return;
    }
    QVERIFY2(options.error.isEmpty(), qPrintable(options.error));
    QFETCH(QString, shape);
    QCOMPARE(summary(options), shape);
}

void TestCliOptions::paths_data()
{
    QTest::addColumn<QStringList>("names"); // inside a folder holding file f, g and folder d
    QTest::addColumn<QString>("error");

    QTest::newRow("one file") << QStringList{"f"} << "";
    QTest::newRow("several files") << QStringList{"f", "g"} << "";
    QTest::newRow("one folder") << QStringList{"d"} << "";
    QTest::newRow("folder and file") << QStringList{"d", "f"} << "只能发送一个文件夹";
    QTest::newRow("missing") << QStringList{"f", "gone"} << "不存在";
    QTest::newRow("link") << QStringList{"link"} << "链接";
}

void TestCliOptions::paths()
{
    QFETCH(QStringList, names);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("d"));
    for (const char *name : {"f", "g"}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(dir.filePath("f"), dir.filePath("link")));
    QStringList paths;
    for (const QString &name : names)
        paths << dir.filePath(name);
    const QString found = CliOptions::checkPaths(paths);
    QVERIFY2(error.isEmpty() ? found.isEmpty() : found.contains(error), qPrintable(found));
}

QTEST_GUILESS_MAIN(TestCliOptions)
#include "tst_clioptions.moc"
