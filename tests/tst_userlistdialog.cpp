#include "send/userlistdialog.h"

#include "modalhelper.h"

#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestUserListDialog : public QObject
{
    Q_OBJECT

private slots:
    void entryShowsNameAndAddress_data();
    void entryShowsNameAndAddress();
    void textsWithoutAddressAreSkipped();
    void selectedIpFollowsCurrentRow();
    void updateRebuildsTheWholeList();
    void refreshEmptiesAndAsks();
    void confirmAndCancel_data();
    void confirmAndCancel();
    void form();

private:
    static QListWidget *list(UserListDialog &dialog)
    {
        return dialog.findChild<QListWidget *>("listWidget");
    }
};

void TestUserListDialog::entryShowsNameAndAddress_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("address");

    QTest::newRow("announcement") << "pc1:192.168.1.7:receive"
                                  << QString::fromUtf8("用户名：pc1\nIP：192.168.1.7")
                                  << "192.168.1.7";
    QTest::newRow("chinese name") << QString::fromUtf8("小明:10.0.0.2:receive")
                                  << QString::fromUtf8("用户名：小明\nIP：10.0.0.2") << "10.0.0.2";
    QTest::newRow("name holding a colon")
        << "a:b:10.0.0.3:receive" << QString::fromUtf8("用户名：a\nIP：b") << "b";
    QTest::newRow("sender without address")
        << "ruvak::receive" << QString::fromUtf8("用户名：ruvak\nIP：") << "";
    QTest::newRow("two fields") << "x:10.0.0.4" << QString::fromUtf8("用户名：x\nIP：10.0.0.4")
                                << "10.0.0.4";
}

void TestUserListDialog::entryShowsNameAndAddress()
{
    QFETCH(QString, peer);
    QFETCH(QString, display);
    QFETCH(QString, address);

    UserListDialog dialog;
    dialog.userListUpdate({peer});
    QCOMPARE(list(dialog)->count(), 1);
    QCOMPARE(list(dialog)->item(0)->data(Qt::DisplayRole).toString(), display);
    QCOMPARE(list(dialog)->item(0)->data(Qt::UserRole).toString(), address);
    list(dialog)->setCurrentRow(0);
    QCOMPARE(dialog.selectedIp(), address);
}

void TestUserListDialog::textsWithoutAddressAreSkipped()
{
    UserListDialog dialog;
    dialog.userListUpdate({"stray datagram", "", "pc1:10.0.0.1:receive", "garbage"});
    QCOMPARE(list(dialog)->count(), 1);
    QCOMPARE(list(dialog)->item(0)->data(Qt::UserRole).toString(), QString("10.0.0.1"));
}

void TestUserListDialog::selectedIpFollowsCurrentRow()
{
    UserListDialog dialog;
    QCOMPARE(dialog.selectedIp(), QString());

    dialog.userListUpdate({"a:10.0.0.1:receive", "b:10.0.0.2:receive"});
    QCOMPARE(list(dialog)->currentRow(), -1);
    QCOMPARE(dialog.selectedIp(), QString());

    list(dialog)->setCurrentRow(1);
    QCOMPARE(dialog.selectedIp(), QString("10.0.0.2"));
    // Current but not highlighted, as keyboard focus leaves the first row: not a choice.
    list(dialog)->setCurrentRow(1, QItemSelectionModel::Deselect);
    QCOMPARE(list(dialog)->currentRow(), 1);
    QCOMPARE(dialog.selectedIp(), QString());
    list(dialog)->setCurrentRow(0);
    QCOMPARE(dialog.selectedIp(), QString("10.0.0.1"));

    // A receiver heard while the chooser is open rebuilds the list: the choice is gone.
    dialog.userListUpdate({"a:10.0.0.1:receive", "b:10.0.0.2:receive", "c:10.0.0.3:receive"});
    QCOMPARE(dialog.selectedIp(), QString());
}

void TestUserListDialog::updateRebuildsTheWholeList()
{
    UserListDialog dialog;
    dialog.userListUpdate({"a:10.0.0.1:receive"});
    dialog.userListUpdate({"a:10.0.0.1:receive", "A:10.0.0.1:receive"});
    QCOMPARE(list(dialog)->count(), 2);
    QCOMPARE(list(dialog)->item(0)->text(), QString::fromUtf8("用户名：a\nIP：10.0.0.1"));
    QCOMPARE(list(dialog)->item(1)->text(), QString::fromUtf8("用户名：A\nIP：10.0.0.1"));

    dialog.userListUpdate({"z:10.0.0.9:receive"});
    QCOMPARE(list(dialog)->count(), 1);
    QCOMPARE(list(dialog)->item(0)->data(Qt::UserRole).toString(), QString("10.0.0.9"));

    dialog.userListUpdate({});
    QCOMPARE(list(dialog)->count(), 0);
}

void TestUserListDialog::refreshEmptiesAndAsks()
{
    UserListDialog dialog;
    QSignalSpy refreshed(&dialog, &UserListDialog::userListRefresh);
    dialog.userListUpdate({"a:10.0.0.1:receive", "b:10.0.0.2:receive"});
    list(dialog)->setCurrentRow(0);

    QTest::mouseClick(dialog.findChild<QPushButton *>("pushButton_2"), Qt::LeftButton);
    QCOMPARE(refreshed.count(), 1);
    QCOMPARE(list(dialog)->count(), 0);
    QCOMPARE(dialog.selectedIp(), QString());

    dialog.userListUpdate({"b:10.0.0.2:receive"});
    QCOMPARE(list(dialog)->count(), 1);
}

void TestUserListDialog::confirmAndCancel_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("ip");

    QTest::newRow("second entry confirmed") << 1 << true << int(QDialog::Accepted) << "10.0.0.2";
    QTest::newRow("nothing chosen, confirmed") << -1 << true << int(QDialog::Accepted) << "";
    QTest::newRow("escape") << 0 << false << int(QDialog::Rejected) << "10.0.0.1";
}

void TestUserListDialog::confirmAndCancel()
{
    QFETCH(int, row);
    QFETCH(bool, confirm);
    QFETCH(int, result);
    QFETCH(QString, ip);

    UserListDialog dialog;
    dialog.userListUpdate({"a:10.0.0.1:receive", "b:10.0.0.2:receive"});
    ModalHelper helper([&](QWidget *modal) {
        QCOMPARE(modal, &dialog);
        if (row >= 0)
            list(dialog)->setCurrentRow(row);
        if (confirm)
            QTest::mouseClick(dialog.findChild<QPushButton *>("pushButton"), Qt::LeftButton);
        else
            QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    QCOMPARE(dialog.exec(), result);
    QVERIFY(helper.answered);
    QCOMPARE(dialog.selectedIp(), ip);
}

void TestUserListDialog::form()
{
    UserListDialog dialog;
    QCOMPARE(dialog.objectName(), QString("UserListDialog"));
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("选择一个用户传输"));
    QCOMPARE(dialog.size(), QSize(400, 300));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(dialog.findChild<QPushButton *>("pushButton_2")->text(), QString::fromUtf8("刷新"));
    QCOMPARE(dialog.findChild<QPushButton *>("pushButton")->text(), QString::fromUtf8("确定"));
}

QTEST_MAIN(TestUserListDialog)
#include "tst_userlistdialog.moc"
