#include "protocol/formatsize.h"

#include <QtTest>

class TestFormatSize : public QObject
{
    Q_OBJECT

private slots:
    void format_data();
    void format();
};

void TestFormatSize::format_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << qint64(0) << "0B";
    QTest::newRow("negative") << qint64(-5) << "-5B";
    QTest::newRow("largest byte count") << qint64(1023) << "1023B";
    QTest::newRow("one kilobyte") << qint64(1024) << "1.00KB";
    QTest::newRow("one and a half kilobytes") << qint64(1536) << "1.50KB";
    QTest::newRow("third decimal rounds") << qint64(1029) << "1.00KB";
    QTest::newRow("rounds up but stays in KB") << qint64(1048575) << "1024.00KB";
    QTest::newRow("one megabyte") << qint64(1048576) << "1.00MB";
    QTest::newRow("largest megabyte count") << qint64(1073741823) << "1024.00MB";
    QTest::newRow("one gigabyte") << qint64(1073741824) << "1.00GB";
    QTest::newRow("three gigabytes") << qint64(3) * 1073741824 << "3.00GB";
    QTest::newRow("largest gigabyte count") << qint64(1099511627775) << "1024.00GB";
    QTest::newRow("one terabyte") << qint64(1099511627776) << "1.00TB";
    QTest::newRow("largest count") << std::numeric_limits<qint64>::max() << "8388608.00TB";
}

void TestFormatSize::format()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(formatSize(bytes), text);
}

QTEST_GUILESS_MAIN(TestFormatSize)
#include "tst_formatsize.moc"
