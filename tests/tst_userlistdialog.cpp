#include "records/knowndevices.h"
#include "send/userlistdialog.h"
#include "settings/settingskeys.h"

#include "modalhelper.h"
#include "tempworkdir.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class TestUserListDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void entryShowsNameAndAddress_data();
    void entryShowsNameAndAddress();
    void textsWithoutAnAddressAreSkipped();
    void receiversAreMarked_data();
    void receiversAreMarked();
    void typedAddressEnablesConfirm_data();
    void typedAddressEnablesConfirm();
    void currentRowIsTheChoice();
    void updateKeepsTheChoice();
    void refreshEmptiesAndAsks();
    void confirmAndCancel_data();
    void confirmAndCancel();
    void form();

private:
    static QListWidget *list(UserListDialog &dialog)
    {
        return dialog.findChild<QListWidget *>("listWidget");
    }
    static QLineEdit *field(UserListDialog &dialog)
    {
        return dialog.findChild<QLineEdit *>("ipLineEdit");
    }
    static QPushButton *confirm(UserListDialog &dialog)
    {
        return dialog.findChild<QPushButton *>("pushButton");
    }
    static bool emptyLineShown(UserListDialog &dialog)
    {
        return !dialog.findChild<QLabel *>("emptyLabel")->isHidden();
    }

    std::unique_ptr<TempWorkDir> workDir; // the dialog remembers the last receiver in config.ini
};

void TestUserListDialog::init()
{
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
}

void TestUserListDialog::cleanup()
{
    workDir.reset();
}

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
    QTest::newRow("two fields") << "x:10.0.0.4" << QString::fromUtf8("用户名：x\nIP：10.0.0.4")
                                << "10.0.0.4";
    QTest::newRow("line break in the name")
        << QString::fromUtf8("a\nIP：10.9.9.9:10.0.0.5:receive")
        << QString::fromUtf8("用户名：a IP：10.9.9.9\nIP：10.0.0.5") << "10.0.0.5";
    // A row shows its text as it is; markup in a name stays letters.
    QTest::newRow("markup in the name")
        << "<b>pc</b><br>x:10.0.0.6:receive"
        << QString::fromUtf8("用户名：<b>pc</b><br>x\nIP：10.0.0.6") << "10.0.0.6";
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

void TestUserListDialog::textsWithoutAnAddressAreSkipped()
{
    UserListDialog dialog;
    dialog.userListUpdate({"stray datagram", "", "pc1:10.0.0.1:receive", "a:b:10.0.0.3:receive",
                           "ruvak::receive", "h:example.com:receive", "again:10.0.0.1:receive"});
    QCOMPARE(list(dialog)->count(), 1);
    QCOMPARE(list(dialog)->item(0)->text(), QString::fromUtf8("用户名：pc1\nIP：10.0.0.1"));
}

void TestUserListDialog::receiversAreMarked_data()
{
    QTest::addColumn<bool>("extended");        // announced on the extended port
    QTest::addColumn<QByteArray>("announced"); // the fingerprint announced there; "a..." is known
    QTest::addColumn<QString>("mark");
    QTest::newRow("plain only") << false << QByteArray(64, 'a') << "  未加密";
    QTest::newRow("extended") << true << QByteArray() << "";
    QTest::newRow("unknown fingerprint") << true << QByteArray(64, 'b') << "";
    QTest::newRow("known fingerprint") << true << QByteArray(64, 'a') << "  ✔ 已验证";
}

// The mark follows what the receiver announces, which may come after its presence text.
void TestUserListDialog::receiversAreMarked()
{
    QFETCH(bool, extended);
    QFETCH(QByteArray, announced);
    QFETCH(QString, mark);
    KnownDevices known;
    QVERIFY(known.remember(Fingerprint::fromHex(QByteArray(64, 'a')), "pc1", "10.0.0.7"));
    bool heard = false;
    UserListDialog dialog;
    dialog.setMarks([&](const QString &address) {
        return ReceiverMark::of(heard && extended && address == "10.0.0.7",
                                Fingerprint::fromHex(announced), known);
    });
    // A name that looks like a mark stays on its own line; the mark ends the address line.
    const QString shown = QString::fromUtf8("用户名：pc1  ✔ 已验证\nIP：10.0.0.7");
    for (const QString &expected : {QString::fromUtf8("  未加密"), mark}) {
        dialog.userListUpdate({QString::fromUtf8("pc1  ✔ 已验证:10.0.0.7:receive")});
        QCOMPARE(list(dialog)->item(0)->text(), shown + expected);
        heard = true; // the extended announcement comes after the presence text
    }
}

void TestUserListDialog::typedAddressEnablesConfirm_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("ip");  // empty: "确定" stays disabled
    QTest::addColumn<QString>("why"); // the line under the field

    const QString notIPv4 =
        QString::fromUtf8("不是有效的 IPv4 地址：应为四个 0～255 的数，例如 192.168.1.7。");
    const QString notAHost =
        QString::fromUtf8("这是广播、组播或未指定的地址，不是一台电脑的地址。");
    QTest::newRow("nothing") << ""
                             << ""
                             << "";
    QTest::newRow("address") << "192.168.1.7"
                             << "192.168.1.7"
                             << "";
    QTest::newRow("spaces around") << " 10.0.0.2 "
                                   << "10.0.0.2"
                                   << "";
    QTest::newRow("loopback") << "127.0.0.1"
                              << "127.0.0.1"
                              << "";
    QTest::newRow("three parts") << "10.0.2"
                                 << "" << notIPv4;
    QTest::newRow("leading zero") << "010.0.0.2"
                                  << "" << notIPv4;
    QTest::newRow("part too large") << "10.0.0.256"
                                    << "" << notIPv4;
    QTest::newRow("host name") << "pc1.local"
                               << "" << notIPv4;
    QTest::newRow("with a port") << "10.0.0.2:42135"
                                 << "" << notIPv4;
    QTest::newRow("IPv6") << "fe80::1"
                          << "" << notIPv4;
    QTest::newRow("wildcard") << "0.0.0.0"
                              << "" << notAHost;
    QTest::newRow("broadcast") << "255.255.255.255"
                               << "" << notAHost;
    QTest::newRow("multicast group") << "224.0.0.1"
                                     << "" << notAHost;
}

void TestUserListDialog::typedAddressEnablesConfirm()
{
    QFETCH(QString, typed);
    QFETCH(QString, ip);
    QFETCH(QString, why);

    UserListDialog dialog;
    auto *hint = dialog.findChild<QLabel *>("ipHintLabel");
    QVERIFY(!confirm(dialog)->isEnabled());
    QVERIFY(hint->isHidden());
    QTest::keyClicks(field(dialog), typed);
    QCOMPARE(confirm(dialog)->isEnabled(), !ip.isEmpty());
    QCOMPARE(dialog.selectedIp(), ip);
    QCOMPARE(hint->isHidden(), why.isEmpty());
    if (!why.isEmpty())
        QCOMPARE(hint->text(), why);
}

void TestUserListDialog::currentRowIsTheChoice()
{
    UserListDialog dialog;
    dialog.userListUpdate({"a:10.0.0.1:receive", "b:10.0.0.2:receive"});
    QCOMPARE(list(dialog)->currentRow(), -1);
    QVERIFY(!confirm(dialog)->isEnabled());

    // Made current as focus or arrow keys do, without selecting: still chosen and drawn so.
    list(dialog)->setCurrentRow(1, QItemSelectionModel::NoUpdate);
    QVERIFY(list(dialog)->item(1)->isSelected());
    QCOMPARE(field(dialog)->text(), QString("10.0.0.2"));
    QVERIFY(confirm(dialog)->isEnabled());
    QCOMPARE(dialog.selectedIp(), QString("10.0.0.2"));
    list(dialog)->setCurrentRow(1, QItemSelectionModel::Deselect);
    QVERIFY(list(dialog)->item(1)->isSelected());

    // Typing the address of an entry chooses it; another address leaves no row chosen.
    field(dialog)->clear();
    QTest::keyClicks(field(dialog), "10.0.0.1");
    QCOMPARE(list(dialog)->currentRow(), 0);
    QVERIFY(list(dialog)->item(0)->isSelected());
    QTest::keyClicks(field(dialog), "1");
    QCOMPARE(list(dialog)->currentRow(), -1);
    QVERIFY(list(dialog)->selectedItems().isEmpty());
    QCOMPARE(dialog.selectedIp(), QString("10.0.0.11"));
}

void TestUserListDialog::updateKeepsTheChoice()
{
    UserListDialog dialog;
    QVERIFY(emptyLineShown(dialog));
    dialog.userListUpdate({"a:10.0.0.1:receive", "b:10.0.0.2:receive"});
    QVERIFY(!emptyLineShown(dialog));
    list(dialog)->setCurrentRow(1);
    QListWidgetItem *chosen = list(dialog)->currentItem();

    // A receiver comes, the chosen one is renamed: same row, chosen still.
    dialog.userListUpdate({"a:10.0.0.1:receive", "B:10.0.0.2:receive", "c:10.0.0.3:receive"});
    QCOMPARE(list(dialog)->count(), 3);
    QCOMPARE(list(dialog)->currentItem(), chosen);
    QVERIFY(chosen->isSelected());
    QCOMPARE(chosen->text(), QString::fromUtf8("用户名：B\nIP：10.0.0.2"));

    // Another one goes: the choice stays.
    dialog.userListUpdate({"B:10.0.0.2:receive", "c:10.0.0.3:receive"});
    QCOMPARE(list(dialog)->count(), 2);
    QCOMPARE(list(dialog)->currentItem(), chosen);

    // The chosen one goes: no neighbour takes its place, the address stays in the field, and
    // it is chosen again when it comes back.
    dialog.userListUpdate({"c:10.0.0.3:receive"});
    QCOMPARE(list(dialog)->count(), 1);
    QCOMPARE(list(dialog)->currentRow(), -1);
    QVERIFY(list(dialog)->selectedItems().isEmpty());
    QCOMPARE(dialog.selectedIp(), QString("10.0.0.2"));
    dialog.userListUpdate({"c:10.0.0.3:receive", "B:10.0.0.2:receive"});
    QCOMPARE(list(dialog)->currentRow(), 1);

    dialog.userListUpdate({});
    QCOMPARE(list(dialog)->count(), 0);
    QVERIFY(emptyLineShown(dialog));
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
    QVERIFY(emptyLineShown(dialog));

    dialog.userListUpdate({"b:10.0.0.2:receive"});
    QCOMPARE(list(dialog)->count(), 1);
}

void TestUserListDialog::confirmAndCancel_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("remembered");

    QTest::newRow("entry confirmed") << 1 << ""
                                     << "click" << int(QDialog::Accepted) << "10.0.0.2";
    QTest::newRow("typed, Return") << -1 << "10.0.0.9"
                                   << "return" << int(QDialog::Accepted) << "10.0.0.9";
    // "确定" is disabled: neither a click nor Return ends the dialog.
    QTest::newRow("nothing chosen") << -1 << ""
                                    << "try" << int(QDialog::Rejected) << "";
    QTest::newRow("bad address") << -1 << "10.0.0"
                                 << "try" << int(QDialog::Rejected) << "";
    QTest::newRow("escape") << 0 << ""
                            << "escape" << int(QDialog::Rejected) << "";
}

void TestUserListDialog::confirmAndCancel()
{
    QFETCH(int, row);
    QFETCH(QString, typed);
    QFETCH(QString, action);
    QFETCH(int, result);
    QFETCH(QString, remembered);

    {
        UserListDialog dialog;
        dialog.userListUpdate({"a:10.0.0.1:receive", "b:10.0.0.2:receive"});
        ModalHelper helper([&](QWidget *modal) {
            QCOMPARE(modal, &dialog);
            if (row >= 0)
                list(dialog)->setCurrentRow(row);
            QTest::keyClicks(field(dialog), typed);
            if (action == "click" || action == "try")
                QTest::mouseClick(confirm(dialog), Qt::LeftButton);
            if (action == "return" || action == "try")
                QTest::keyClick(field(dialog), Qt::Key_Return);
            if (action == "try") {
                QVERIFY(dialog.isVisible());
                QTest::keyClick(&dialog, Qt::Key_Escape);
            }
            if (action == "escape")
                QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        QCOMPARE(dialog.exec(), result);
        QVERIFY(helper.answered);
        if (result == QDialog::Accepted)
            QCOMPARE(dialog.selectedIp(), remembered);
    }
    QSettings settings("config.ini", QSettings::IniFormat);
    QCOMPARE(SettingsKeys::lastReceiver(settings), remembered);
    // The next chooser starts with it.
    UserListDialog next;
    QCOMPARE(next.selectedIp(), remembered);
    QCOMPARE(confirm(next)->isEnabled(), !remembered.isEmpty());
}

void TestUserListDialog::form()
{
    UserListDialog dialog;
    QCOMPARE(dialog.objectName(), QString("UserListDialog"));
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("选择接收方"));
    QCOMPARE(dialog.size(), QSize(400, 300));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(dialog.findChild<QPushButton *>("pushButton_2")->text(), QString::fromUtf8("刷新"));
    QCOMPARE(confirm(dialog)->text(), QString::fromUtf8("确定"));
    QCOMPARE(dialog.findChild<QLabel *>("ipLabel")->text(), QString::fromUtf8("或输入对方 IP："));
    QCOMPARE(dialog.findChild<QLabel *>("emptyLabel")->text(),
             QString::fromUtf8(
                 "还没有发现接收方。请在对方电脑上打开“接收”，并确认两台电脑在同一网络中。"));
}

QTEST_MAIN(TestUserListDialog)
#include "tst_userlistdialog.moc"
