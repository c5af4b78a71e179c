#include "records/knowndevices.h"
#include "security/identity.h"
#include "settings/settingdialog.h"
#include "settings/settingskeys.h"

#include "modalhelper.h"
#include "tempworkdir.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

class TestSettingDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firstStartWritesOnlyTheName();
    void okStoresCancelKeeps_data();
    void okStoresCancelKeeps();
    void nameRule_data();
    void nameRule();
    void nameMessageIsFullyShown();
    void storedBadNameIsShownAndKept();
    void folderFieldIsReadOnly();
    void chooserCancelledChangesNothing();
    void chosenFolderIsStoredOnOk();
    void unusableFolderIsWarnedAbout_data();
    void unusableFolderIsWarnedAbout();
    void configIsUtf8_data();
    void configIsUtf8();
    void fingerprintOrWhyNot_data();
    void fingerprintOrWhyNot();
    void devicesAreListedAndForgotten_data();
    void devicesAreListedAndForgotten();
    void form();

private:
    QString configText() const;
    static QString shownText(const QLabel *label);
    QLineEdit *userNameField(SettingDialog &dialog) const;
    QLineEdit *saveDirField(SettingDialog &dialog) const;
    QComboBox *clashBox(SettingDialog &dialog) const;
    QLabel *nameHint(SettingDialog &dialog) const;

    std::unique_ptr<TempWorkDir> workDir;
};

void TestSettingDialog::init()
{
    workDir = std::make_unique<TempWorkDir>();
    QVERIFY(workDir->isValid());
}

void TestSettingDialog::cleanup()
{
    workDir.reset();
}

// What a label says, without the zero-width spaces that let a long name wrap.
QString TestSettingDialog::shownText(const QLabel *label)
{
    return label->text().remove(QChar(0x200B));
}

QString TestSettingDialog::configText() const
{
    QFile file(workDir->filePath("config.ini"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QLineEdit *TestSettingDialog::userNameField(SettingDialog &dialog) const
{
    return dialog.findChild<QLineEdit *>("userNameLineEdit");
}

QLineEdit *TestSettingDialog::saveDirField(SettingDialog &dialog) const
{
    return dialog.findChild<QLineEdit *>("SaveDirLineEdit");
}

QComboBox *TestSettingDialog::clashBox(SettingDialog &dialog) const
{
    return dialog.findChild<QComboBox *>("nameClashComboBox");
}

QLabel *TestSettingDialog::nameHint(SettingDialog &dialog) const
{
    return dialog.findChild<QLabel *>("userNameHintLabel");
}

void TestSettingDialog::firstStartWritesOnlyTheName()
{
    QVERIFY(!QFile::exists("config.ini"));
    {
        SettingDialog dialog;
        QCOMPARE(userNameField(dialog)->text(), SettingsKeys::defaultUserName());
        QCOMPARE(saveDirField(dialog)->text(), QCoreApplication::applicationDirPath());
    }
    // The handle flushes when it goes; the file must hold the name written back and no folder.
    const QString text = configText();
    QVERIFY2(text.contains("userName=" + SettingsKeys::defaultUserName()), qPrintable(text));
    QVERIFY2(!text.contains("saveDir"), qPrintable(text));
}

void TestSettingDialog::okStoresCancelKeeps_data()
{
    QTest::addColumn<QString>("action"); // the button clicked, or "escape"
    QTest::addColumn<bool>("stored");

    QTest::newRow("ok") << "pushButton_3" << true;
    QTest::newRow("cancel") << "cancelPushButton" << false;
    QTest::newRow("escape") << "escape" << false;
}

void TestSettingDialog::okStoresCancelKeeps()
{
    QFETCH(QString, action);
    QFETCH(bool, stored);

    SettingsKeys::openConfig()->setValue("userName", QString::fromUtf8("小明"));
    SettingDialog dialog;
    QSignalSpy changed(&dialog, &SettingDialog::settingsChanged);
    userNameField(dialog)->setText(QString::fromUtf8("小红"));
    clashBox(dialog)->setCurrentIndex(2);
    if (action == "escape")
        QTest::keyClick(&dialog, Qt::Key_Escape);
    else
        dialog.findChild<QPushButton *>(action)->click();
    QCOMPARE(dialog.result(), stored ? int(QDialog::Accepted) : int(QDialog::Rejected));
    QCOMPARE(changed.count(), stored ? 1 : 0);
    const auto reader = SettingsKeys::openConfig();
    QCOMPARE(SettingsKeys::userName(*reader), QString::fromUtf8(stored ? "小红" : "小明"));
    QCOMPARE(SettingsKeys::nameClash(*reader),
             stored ? SettingsKeys::NameClash::Skip : SettingsKeys::NameClash::Overwrite);
    // Opened again, the dialog shows what is in use.
    QCOMPARE(userNameField(dialog)->text(), SettingsKeys::userName(*reader));
    QCOMPARE(clashBox(dialog)->currentIndex(), stored ? 2 : 0);
}

void TestSettingDialog::nameRule_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    QTest::newRow("plain") << "bob" << true;
    QTest::newRow("chinese") << QString::fromUtf8("张三") << true;
    QTest::newRow("spaces inside and around") << " my laptop " << true;
    QTest::newRow("longest") << QString(SettingsKeys::maxUserNameLength, 'x') << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("only spaces") << "   " << false;
    QTest::newRow("colon") << QString::fromUtf8("张:三") << false;
    QTest::newRow("carriage return") << "a\rb" << false;
    QTest::newRow("line feed") << "a\nb" << false;
    QTest::newRow("nul") << QString("a") + QChar(0) + "b" << false;
    QTest::newRow("too long") << QString(SettingsKeys::maxUserNameLength + 1, 'x') << false;
}

// Typed key by key, a bad name is not stored, not even the good beginning of it: the previous
// name stays, and the dialog says so.
void TestSettingDialog::nameRule()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);

    QCOMPARE(SettingsKeys::isValidUserName(name), valid);
    SettingsKeys::openConfig()->setValue("userName", QString::fromUtf8("李四"));
    SettingDialog dialog;
    QVERIFY(nameHint(dialog)->isHidden());
    userNameField(dialog)->clear();
    for (const QChar c : name)
        userNameField(dialog)->insert(c);
    QCOMPARE(nameHint(dialog)->isHidden(), valid);
    if (!valid)
        QVERIFY2(shownText(nameHint(dialog)).endsWith(QString::fromUtf8("仍使用原用户名“李四”。")),
                 qPrintable(nameHint(dialog)->text()));

    dialog.accept();
    const auto reader = SettingsKeys::openConfig();
    QCOMPARE(SettingsKeys::userName(*reader), valid ? name : QString::fromUtf8("李四"));
    QCOMPARE(userNameField(dialog)->text(), SettingsKeys::userName(*reader));
    QVERIFY(nameHint(dialog)->isHidden());
}

void TestSettingDialog::nameMessageIsFullyShown()
{
    SettingsKeys::openConfig()->setValue("userName", QString(64, 'W'));
    SettingDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClicks(userNameField(dialog), QString(9, 'x')); // 73 characters
    QLabel *hint = nameHint(dialog);
    QVERIFY(hint->isVisible());
    QVERIFY(shownText(hint).contains(QString(64, 'W')));
    QTRY_VERIFY(dialog.rect().contains(hint->geometry()) &&
                hint->height() >= hint->heightForWidth(hint->width()) &&
                hint->width() >= hint->minimumSizeHint().width());
}

void TestSettingDialog::storedBadNameIsShownAndKept()
{
    SettingsKeys::openConfig()->setValue("userName", QString::fromUtf8("张:三"));
    SettingDialog dialog;
    QCOMPARE(userNameField(dialog)->text(), QString::fromUtf8("张:三"));
    QVERIFY(!nameHint(dialog)->isHidden());
    QVERIFY(
        nameHint(dialog)->text().endsWith(QString::fromUtf8("改正之前，接收时对方看不到本机。")));
    dialog.accept();
    QCOMPARE(userNameField(dialog)->text(), QString::fromUtf8("张:三"));

    QTest::keyClick(userNameField(dialog), Qt::Key_Backspace);
    QTest::keyClick(userNameField(dialog), Qt::Key_Backspace);
    QVERIFY(nameHint(dialog)->isHidden());
    dialog.accept();
    QCOMPARE(SettingsKeys::userName(*SettingsKeys::openConfig()), QString::fromUtf8("张"));
}

void TestSettingDialog::folderFieldIsReadOnly()
{
    SettingDialog dialog;
    QLineEdit *field = saveDirField(dialog);
    const QString before = field->text();
    QTest::keyClicks(field, "xyz");
    QCOMPARE(field->text(), before);
}

void TestSettingDialog::chooserCancelledChangesNothing()
{
    SettingDialog dialog;
    const QString before = saveDirField(dialog)->text();
    ModalHelper cancel([](QWidget *modal) {
        QVERIFY(qobject_cast<QFileDialog *>(modal));
        modal->close();
    });
    dialog.findChild<QPushButton *>("pushButton")->click();
    QVERIFY(cancel.answered);
    QCOMPARE(saveDirField(dialog)->text(), before);
    dialog.accept();
    QVERIFY(!SettingsKeys::openConfig()->contains("saveDir"));
}

void TestSettingDialog::chosenFolderIsStoredOnOk()
{
    QVERIFY(QDir(workDir->path()).mkdir(QString::fromUtf8("收到")));
    const QString target = QDir(workDir->path()).filePath(QString::fromUtf8("收到"));

    SettingDialog dialog;
    const auto otherHandle = SettingsKeys::openConfig();
    ModalHelper choose([&](QWidget *modal) {
        auto *chooser = qobject_cast<QFileDialog *>(modal);
        QVERIFY(chooser);
        QCOMPARE(chooser->windowTitle(), QString::fromUtf8("选择一个文件夹"));
        chooser->setDirectory(target);
        chooser->selectFile(target);
        static_cast<QDialog *>(chooser)->accept();
    });
    dialog.findChild<QPushButton *>("pushButton")->click();
    QVERIFY(choose.answered);
    QCOMPARE(saveDirField(dialog)->text(), target);
    QVERIFY(!otherHandle->contains("saveDir"));
    dialog.accept();
    QCOMPARE(SettingsKeys::saveDir(*otherHandle), target);
}

void TestSettingDialog::unusableFolderIsWarnedAbout_data()
{
    QTest::addColumn<QString>("folder"); // below the temporary folder
    QTest::addColumn<bool>("warned");

    QTest::newRow("folder") << "" << false;
    QTest::newRow("not there yet") << "new/sub" << false;
    QTest::newRow("below a file") << "file/sub" << true;
}

void TestSettingDialog::unusableFolderIsWarnedAbout()
{
    QFETCH(QString, folder);
    QFETCH(bool, warned);

    QFile file(workDir->filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    SettingsKeys::openConfig()->setValue("saveDir", workDir->filePath(folder));
    SettingDialog dialog;
    QCOMPARE(!dialog.findChild<QLabel *>("saveDirHintLabel")->isHidden(), warned);
}

void TestSettingDialog::configIsUtf8_data()
{
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("written by hand")
        << QByteArray("[General]\nuserName=小明\nsaveDir=/tmp/收到\nnameClash=keepBoth\n");
    QTest::newRow("escaped by an earlier version") << QByteArray(
        "[General]\nnameClash=keepBoth\nsaveDir=/tmp/\\x6536\\x5230\nuserName=\\x5c0f\\x660e\n");
}

// Read as UTF-8, escapes included, and written back as UTF-8 text anyone can read.
void TestSettingDialog::configIsUtf8()
{
    QFETCH(QByteArray, file);

    QFile config(workDir->filePath("config.ini"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(file);
    config.close();

    SettingDialog dialog;
    QCOMPARE(userNameField(dialog)->text(), QString::fromUtf8("小明"));
    QCOMPARE(saveDirField(dialog)->text(), QString::fromUtf8("/tmp/收到"));
    QCOMPARE(clashBox(dialog)->currentText(), QString::fromUtf8("保留两者"));
    userNameField(dialog)->setText(QString::fromUtf8("小红"));
    dialog.accept();
    const QString text = configText();
    QVERIFY2(text.contains(QString::fromUtf8("userName=小红\n")), qPrintable(text));
    QVERIFY2(text.contains(QString::fromUtf8("saveDir=/tmp/收到\n")), qPrintable(text));
}

void TestSettingDialog::fingerprintOrWhyNot_data()
{
    QTest::addColumn<QByteArray>("found"); // in identity.key; none when empty
    QTest::newRow("made") << QByteArray();
    QTest::newRow("broken") << QByteArray("not a key");
}

// A pair that cannot be used is said in red, and left as it was.
void TestSettingDialog::fingerprintOrWhyNot()
{
    QFETCH(QByteArray, found);
    QFile key(workDir->filePath(Identity::keyFileName())); // the certificate missing too
    QVERIFY(found.isEmpty() || (key.open(QIODevice::WriteOnly) && key.write(found) > 0));
    key.close();
    const Identity identity(workDir->path());
    SettingDialog dialog;
    dialog.showIdentity(identity);
    const QLabel *hint = dialog.findChild<QLabel *>("identityHintLabel");
    QCOMPARE(hint->isHidden(), found.isEmpty());
    QVERIFY(found.isEmpty() || hint->text().startsWith(identity.errorString() + "。"));
    QCOMPARE(dialog.findChild<QLabel *>("fingerprintLabel")->text(),
             found.isEmpty() ? identity.fingerprint().readable() : QString::fromUtf8("（无）"));
    QVERIFY(found.isEmpty() || (key.open(QIODevice::ReadOnly) && key.readAll() == found));
}

void TestSettingDialog::devicesAreListedAndForgotten_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(QMessageBox::Yes);
    QTest::newRow("no") << int(QMessageBox::No);
}

void TestSettingDialog::devicesAreListedAndForgotten()
{
    QFETCH(int, answer);
    const bool forgotten = answer == QMessageBox::Yes;
    KnownDevices devices;
    QVERIFY(devices.remember(Fingerprint::fromHex(QByteArray(64, 'a')), "pc", "10.0.0.2", 1));
    QVERIFY(
        devices.remember(Fingerprint::fromHex(QByteArray(64, 'b')), "<b>lab</b>", "10.0.0.3", 2));
    SettingDialog dialog;
    auto *tree = dialog.findChild<QTreeWidget *>("devicesTree");
    QCOMPARE(QStringList({tree->topLevelItem(0)->text(1), tree->topLevelItem(0)->text(2)}),
             QStringList({"10.0.0.3", QString::fromUtf8("BBBB BBBB…")}));
    ModalHelper confirm([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box && box->textFormat() == Qt::PlainText);
        QCOMPARE(box->text(),
                 QString::fromUtf8("忘记「<b>lab</b>」？下次传输需要重新核对配对码。"));
        box->button(QMessageBox::StandardButton(answer))->click();
    });
    qobject_cast<QPushButton *>(tree->itemWidget(tree->topLevelItem(0), 3))->click();
    QVERIFY(confirm.answered);
    QTRY_COMPARE(tree->topLevelItemCount(), forgotten ? 1 : 2);
    QCOMPARE(tree->topLevelItem(0)->text(0), QString(forgotten ? "pc" : "<b>lab</b>"));
    QCOMPARE(devices.all().size(), tree->topLevelItemCount());
}

void TestSettingDialog::form()
{
    SettingDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("设置"));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(dialog.findChild<QPushButton *>("pushButton_3")->text(), QString::fromUtf8("确定"));
    QCOMPARE(dialog.findChild<QPushButton *>("cancelPushButton")->text(),
             QString::fromUtf8("取消"));
    QCOMPARE(dialog.findChild<QLabel *>("nameClashLabel")->text(), QString::fromUtf8("同名文件："));
    QCOMPARE(clashBox(dialog)->itemText(2), QString::fromUtf8("跳过"));
    QCOMPARE(dialog.findChild<QLabel *>("fingerprintTitleLabel")->text() +
                 dialog.findChild<QLabel *>("devicesLabel")->text(),
             QString::fromUtf8("本机指纹：已配对的设备："));
    // No device yet: a line says so, in place of an empty list.
    QVERIFY(dialog.findChild<QTreeWidget *>("devicesTree")->isHidden() &&
            !dialog.findChild<QLabel *>("noDevicesLabel")->isHidden());
    // The rows sit as close under the name as under each other, and the last has room above
    // the buttons.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const auto bottom = [](const QWidget *widget) { return widget->geometry().bottom(); };
    const int rowGap = clashBox(dialog)->y() - bottom(saveDirField(dialog));
    QVERIFY(saveDirField(dialog)->y() - bottom(userNameField(dialog)) <= rowGap + 2);
    QVERIFY(dialog.findChild<QPushButton *>("pushButton_3")->y() - bottom(clashBox(dialog)) >=
            2 * rowGap);
}

QTEST_MAIN(TestSettingDialog)
#include "tst_settingdialog.moc"
