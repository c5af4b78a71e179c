#include "cli/transferline.h"
#include "receive/receiveoutcome.h"

#include <QtTest>

class TestTransferLine : public QObject
{
    Q_OBJECT

private slots:
    void text_data();
    void text();
};

void TestTransferLine::text_data()
{
    QTest::addColumn<QString>("sender"); // empty: the request ended before it was offered
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QList<int>>("entries"); // StoredEntry statuses; -1 an unchanged file
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("line");

    const QString from =
        QString::fromUtf8("来自 小明（10.0.0.2）的「docs 等2个项目」，1.50KB，3个项目");
    QTest::newRow("stored") << "小明" << true << "" << QList<int>{0, 0, -1} << 0 << ""
                            << QString::fromUtf8("接收完成：") + from +
                                   QString::fromUtf8(
                                       "，传输 1.00KB，用时 1:05，1 个文件已存在且相同，未传输");
    QTest::newRow("plain") << "小明" << false << "" << QList<int>{0, 0, 0} << 0 << ""
                           << QString::fromUtf8("接收完成：") + from +
                                  QString::fromUtf8("，未加密，传输 1.00KB，用时 1:05");
    QTest::newRow("not paired") << "小明" << true << "不是已配对的设备" << QList<int>{}
                                << int(ReceiveOutcome::Refused) << ""
                                << QString::fromUtf8("已拒绝接收（不是已配对的设备）：") + from;
    QTest::newRow("cut, kept") << "小明" << true << "" << QList<int>{0}
                               << int(ReceiveOutcome::Incomplete) << "连接中断"
                               << QString::fromUtf8("传输中断，接收不完整（连接中断）：") + from +
                                      QString::fromUtf8(
                                          "，已保存 1 个项目，共 3 个；未完整收到的文件"
                                          "已保留，对方再次发送时从中断处继续。");
    QTest::newRow("cut here, plain")
        << "小明" << false << "" << QList<int>{} << TransferLine::cutHere << ""
        << QString::fromUtf8("已取消接收，传输中断：") + from +
               QString::fromUtf8("，未加密，已保存 0 个项目，共 3 个；"
                                 "未完整收到的项目已删除。");
    QTest::newRow("not stored") << "小明" << true << "" << QList<int>{0, 2}
                                << int(ReceiveOutcome::Failed) << "磁盘已满"
                                << QString::fromUtf8("接收失败（磁盘已满）：") + from +
                                       QString::fromUtf8("，1 个项目未能保存");
    QTest::newRow("line break in the name")
        << "小\n明" << true << "" << QList<int>{} << int(ReceiveOutcome::SenderLeft) << ""
        << QString::fromUtf8("发送方已断开连接：来自 小 明（10.0.0.2）"
                             "的「docs 等2个项目」，1.50KB，3个项目");
    QTest::newRow("never offered")
        << "" << false << "" << QList<int>{} << int(ReceiveOutcome::Refused) << "请求无效"
        << QString::fromUtf8("已拒绝接收（请求无效）");
}

void TestTransferLine::text()
{
    QFETCH(QString, sender);
    QFETCH(bool, extended);
    QFETCH(QString, refusal);
    QFETCH(QList<int>, entries);
    QFETCH(int, outcome);
    QFETCH(QString, reason);
    QFETCH(QString, line);
    ReceiveOffer offer;
    offer.sender = sender;
    offer.address = "10.0.0.2";
    offer.target = "docs";
    offer.size = 1536;
    offer.items = 3;
    offer.files = 2;
    offer.extended = extended;
    TransferLine transfer;
    // What an earlier transfer left must not show in this one's line.
    transfer.offered(offer);
    transfer.stored({StoredEntry{"old", "", StoredEntry::WriteFailed}});
    if (!sender.isEmpty())
        transfer.offered(offer);
    else
        transfer = TransferLine();
    if (!refusal.isEmpty())
        transfer.refusedBecause(refusal);
    QList<StoredEntry> stored;
    for (const int status : entries)
        stored << StoredEntry{"a", "/save/a", StoredEntry::Status(qMax(status, 0)),
                              status < 0 ? StoredEntry::Unchanged : StoredEntry::NoClash};
    transfer.stored(stored);
    QCOMPARE(transfer.text(outcome, reason, 1024, 65000), line);
}

QTEST_GUILESS_MAIN(TestTransferLine)
#include "tst_transferline.moc"
