#include "protocol/handover.h"

#include <QtTest>

#include <memory>
#include <thread>
#include <vector>

class TestHandOver : public QObject
{
    Q_OBJECT

private slots:
    void post_data();
    void post();
};

void TestHandOver::post_data()
{
    QTest::addColumn<int>("posters");
    QTest::addColumn<bool>("goneFirst");
    QTest::newRow("one thread's calls run in its order") << 1 << false;
    QTest::newRow("several threads' calls all run") << 4 << false;
    QTest::newRow("calls left when it goes never run") << 2 << true;
}

// Run under ThreadSanitizer, a hand-over it cannot follow is reported: the posters are joined
// only after their calls have run.
void TestHandOver::post()
{
    QFETCH(int, posters);
    QFETCH(bool, goneFirst);
    auto handOver = std::make_unique<HandOver>();
    std::vector<QVector<int>> seen(posters); // by poster, touched only by the calls
    bool elsewhere = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < posters; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                handOver->post([&, t, text = QString::number(i)] {
                    elsewhere = elsewhere || QThread::currentThread() != thread();
                    seen[t].append(text.toInt());
                });
        });
    if (goneFirst) {
        for (std::thread &poster : threads)
            poster.join();
        handOver.reset();
        QCoreApplication::processEvents();
    }
    for (int t = 0; t < posters && !goneFirst; ++t) {
        QTRY_COMPARE(seen[t].size(), 100);
        QVERIFY(std::is_sorted(seen[t].begin(), seen[t].end()));
    }
    for (std::thread &poster : threads)
        if (poster.joinable())
            poster.join();
    QVERIFY(!elsewhere);
    QCOMPARE(seen[0].isEmpty(), goneFirst);
}

QTEST_GUILESS_MAIN(TestHandOver)
#include "tst_handover.moc"
