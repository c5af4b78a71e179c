#include "app/instancelock.h"
#include "cli/clioptions.h"

#include <QtTest>

// The program itself, started as a script would start it: no display, no platform named.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void exitStatus_data();
    void exitStatus();
};

void TestCommandLine::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments"); // "@" stands for the test's folder
    QTest::addColumn<bool>("folderHeld");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says"); // found in what it writes

    QTest::newRow("help") << QStringList{"send", "--help"} << false << int(CliOptions::Ok)
                          << "10 已取消";
    QTest::newRow("unknown option") << QStringList{"send", "--bogus"} << false
                                    << int(CliOptions::BadInput) << "未知的选项：--bogus";
    QTest::newRow("missing path") << QStringList{"send", "@/gone"} << false
                                  << int(CliOptions::BadInput) << "不存在";
    QTest::newRow("link") << QStringList{"send", "@/link"} << false << int(CliOptions::BadInput)
                          << "不能发送链接";
    QTest::newRow("save folder missing") << QStringList{"receive", "--save", "@/none"} << false
                                         << int(CliOptions::SaveDirUnusable) << "保存路径";
    QTest::newRow("folder held") << QStringList{"receive", "--once"} << true
                                 << int(CliOptions::Busy) << "已有一个";
    QTest::newRow("name not heard")
        << QStringList{"send", "@/file", "--to", "nobody", "--wait", "1"} << false
        << int(CliOptions::NotFound) << "nobody";
}

void TestCommandLine::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, folderHeld);
    QFETCH(int, status);
    QFETCH(QString, says);
    QTemporaryDir dir;
    QFile file(dir.filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(file.fileName(), dir.filePath("link")));
    InstanceLock lock(dir.path());
    if (folderHeld)
        QCOMPARE(lock.tryLock(), InstanceLock::Result::Acquired);
    arguments.replaceInStrings(QRegularExpression("^@"), dir.path());

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(dir.path());
    program.start(NUBO_PROGRAM, arguments);
    QVERIFY(program.waitForFinished(60000));
    const QString output =
        QString::fromUtf8(program.readAllStandardError() + program.readAllStandardOutput());
    QVERIFY2(output.contains(says), qPrintable(output));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
