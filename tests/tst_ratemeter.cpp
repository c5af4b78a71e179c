#include "protocol/ratemeter.h"

#include <QtTest>

class TestRateMeter : public QObject
{
    Q_OBJECT

private slots:
    void meter_data();
    void meter();
    void texts_data();
    void texts();
};

void TestRateMeter::meter_data()
{
    constexpr qint64 MiB = 1024 * 1024;
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QList<qint64>>("samples"); // ms, done, ms, done, ...
    QTest::addColumn<double>("rate");           // bytes per second
    QTest::addColumn<qint64>("secondsLeft");
    QTest::addColumn<QString>("text");

    QTest::newRow("one sample has no rate") << 100 * MiB << QList<qint64>{0, 0} << 0.0 << qint64(-1)
                                            << QString::fromUtf8("正在计算速度…");
    QTest::newRow("steady rate") << 100 * MiB << QList<qint64>{0, 0, 1000, 10 * MiB} << 10.0 * MiB
                                 << qint64(9) << QString::fromUtf8("10.0MB/s，剩余 0:09");
    QTest::newRow("part of a second left counts as one")
        << 10 * MiB << QList<qint64>{0, 0, 1000, 3 * MiB} << 3.0 * MiB << qint64(3)
        << QString::fromUtf8("3.0MB/s，剩余 0:03");
    // A fast first second is forgotten once three slower ones have passed.
    QTest::newRow("only the last three seconds count")
        << 200 * MiB << QList<qint64>{0,    0,         1000, 100 * MiB, 2000, 101 * MiB,
                                      3000, 102 * MiB, 4000, 103 * MiB, 5000, 104 * MiB}
        << 1.0 * MiB << qint64(96) << QString::fromUtf8("1.0MB/s，剩余 1:36");
    QTest::newRow("stalled") << 100 * MiB << QList<qint64>{0, 0, 1000, 5 * MiB, 5000, 5 * MiB}
                             << 0.0 << qint64(-1) << QString::fromUtf8("正在计算速度…");
    QTest::newRow("more than an hour")
        << 10240 * MiB << QList<qint64>{0, 0, 1000, MiB} << 1.0 * MiB << qint64(10239)
        << QString::fromUtf8("1.0MB/s，剩余 2:50:39");
    QTest::newRow("past the total") << 10 * MiB << QList<qint64>{0, 0, 1000, 12 * MiB} << 12.0 * MiB
                                    << qint64(0) << QString::fromUtf8("12.0MB/s，剩余 0:00");
}

void TestRateMeter::meter()
{
    QFETCH(qint64, total);
    QFETCH(QList<qint64>, samples);
    QFETCH(double, rate);
    QFETCH(qint64, secondsLeft);
    QFETCH(QString, text);

    RateMeter meter;
    // A meter that is started again forgets the transfer before.
    meter.start(1);
    meter.sample(0, 0);
    meter.sample(1, 1);
    meter.start(total);
    for (int i = 0; i + 1 < samples.size(); i += 2)
        meter.sample(samples.at(i + 1), samples.at(i));
    QCOMPARE(meter.bytesPerSecond(), rate);
    QCOMPARE(meter.secondsLeft(), secondsLeft);
    QCOMPARE(meter.text(), text);
}

void TestRateMeter::texts_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("rateText");
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("durationText");

    QTest::newRow("nothing") << 0.0 << "0.0B/s" << qint64(0) << "0:00";
    QTest::newRow("below a unit") << 1023.0 << "1023.0B/s" << qint64(59) << "0:59";
    QTest::newRow("one unit") << 1024.0 << "1.0KB/s" << qint64(60) << "1:00";
    QTest::newRow("one decimal") << 1.26 * 1024 * 1024 << "1.3MB/s" << qint64(3599) << "59:59";
    QTest::newRow("one hour") << 1.5 * 1024 * 1024 * 1024 << "1.5GB/s" << qint64(3600) << "1:00:00";
    QTest::newRow("no unit above GB")
        << 5.0 * 1024 * 1024 * 1024 * 1024 << "5120.0GB/s" << qint64(36061) << "10:01:01";
}

void TestRateMeter::texts()
{
    QFETCH(double, rate);
    QFETCH(QString, rateText);
    QFETCH(qint64, seconds);
    QFETCH(QString, durationText);
    QCOMPARE(RateMeter::rateText(rate), rateText);
    QCOMPARE(RateMeter::durationText(seconds), durationText);
}

QTEST_GUILESS_MAIN(TestRateMeter)
#include "tst_ratemeter.moc"
