#include "cli/transferline.h"

#include <QtTest>

class TestTransferLine : public QObject
{
    Q_OBJECT

private slots:
    // A plain transfer cut short, its sender's name with a line break: still one line.
    void cutPlainTransfer()
    {
        ReceiveOffer offer;
        offer.sender = "小\n明";
        offer.address = "10.0.0.2";
        offer.target = "docs";
        offer.items = 3;
        TransferLine transfer;
        transfer.offered(offer);
        transfer.stored({StoredEntry{"docs", "/s/docs"}}, 0);
        QCOMPARE(transfer.text(1, "连接中断", 0, 0),
                 QString("传输中断，接收不完整（连接中断）：来自 小 明（10.0.0.2）的「docs」，0B，"
                         "3个项目，未加密，已保存 1 个项目，共 3 个；未完整收到的项目已删除。"));
    }
};

QTEST_GUILESS_MAIN(TestTransferLine)
#include "tst_transferline.moc"
