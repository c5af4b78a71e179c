#include "settings/settingdialog.h"
#include "settings/settingskeys.h"

#include "modalhelper.h"
#include "tempworkdir.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

#include <memory>

class TestSettingDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firstStartWritesOnlyTheName();
    void storedValuesFillTheFields();
    void everyKeystrokeIsStored();
    void nameRule_data();
    void nameRule();
    void storedBadNameIsShownAndKept();
    void folderFieldIsReadOnly();
    void chooserCancelledChangesNothing();
    void chosenFolderIsStoredAndSeenByOtherHandles();
    void formIsFixedAndHasNoHelpButton();

private:
    QString configText() const;
    QLineEdit *userNameField(SettingDialog &dialog) const;
    QLineEdit *saveDirField(SettingDialog &dialog) const;

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
    QCOMPARE(QSettings("config.ini", QSettings::IniFormat).value("userName").toString(),
             SettingsKeys::defaultUserName());
    QVERIFY2(!text.contains("saveDir"), qPrintable(text));
}

void TestSettingDialog::storedValuesFillTheFields()
{
    {
        QSettings settings("config.ini", QSettings::IniFormat);
        settings.setValue("userName", QString::fromUtf8("小明"));
        settings.setValue("saveDir", workDir->path());
    }
    SettingDialog dialog;
    QCOMPARE(userNameField(dialog)->text(), QString::fromUtf8("小明"));
    QCOMPARE(saveDirField(dialog)->text(), workDir->path());
}

void TestSettingDialog::everyKeystrokeIsStored()
{
    SettingDialog dialog;
    QSettings reader("config.ini", QSettings::IniFormat);
    QLineEdit *field = userNameField(dialog);
    field->clear();
    QTest::keyClick(field, Qt::Key_A);
    QCOMPARE(SettingsKeys::userName(reader), QString("a"));
    QTest::keyClicks(field, "bc");
    QCOMPARE(SettingsKeys::userName(reader), QString("abc"));
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

// A bad name is not stored; the dialog says why and, when it closes, shows the name in use.
void TestSettingDialog::nameRule()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);

    QCOMPARE(SettingsKeys::isValidUserName(name), valid);
    SettingDialog dialog;
    QSettings reader("config.ini", QSettings::IniFormat);
    auto *hint = dialog.findChild<QLabel *>("userNameHintLabel");
    QVERIFY(hint->isHidden());
    userNameField(dialog)->setText(name);
    QCOMPARE(SettingsKeys::userName(reader), valid ? name : SettingsKeys::defaultUserName());
    QCOMPARE(hint->isHidden(), valid);
    if (!valid)
        QVERIFY2(
            hint->text().contains(QString::fromUtf8("“%1”").arg(SettingsKeys::defaultUserName())),
            qPrintable(hint->text()));

    dialog.reject();
    QCOMPARE(userNameField(dialog)->text(), valid ? name : SettingsKeys::defaultUserName());
    QVERIFY(hint->isHidden());
}

void TestSettingDialog::storedBadNameIsShownAndKept()
{
    {
        QSettings settings("config.ini", QSettings::IniFormat);
        settings.setValue("userName", QString::fromUtf8("张:三"));
    }
    SettingDialog dialog;
    QCOMPARE(userNameField(dialog)->text(), QString::fromUtf8("张:三"));
    QVERIFY(!dialog.findChild<QLabel *>("userNameHintLabel")->isHidden());
    dialog.reject();
    QCOMPARE(userNameField(dialog)->text(), QString::fromUtf8("张:三"));

    QTest::keyClick(userNameField(dialog), Qt::Key_Backspace);
    QTest::keyClick(userNameField(dialog), Qt::Key_Backspace);
    QSettings reader("config.ini", QSettings::IniFormat);
    QCOMPARE(SettingsKeys::userName(reader), QString::fromUtf8("张"));
    QVERIFY(dialog.findChild<QLabel *>("userNameHintLabel")->isHidden());
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
    QSettings reader("config.ini", QSettings::IniFormat);
    QVERIFY(!reader.contains("saveDir"));
}

void TestSettingDialog::chosenFolderIsStoredAndSeenByOtherHandles()
{
    QVERIFY(QDir(workDir->path()).mkdir(QString::fromUtf8("收到")));
    const QString target = QDir(workDir->path()).filePath(QString::fromUtf8("收到"));

    SettingDialog dialog;
    QSettings otherHandle("config.ini", QSettings::IniFormat);
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
    QCOMPARE(SettingsKeys::saveDir(otherHandle), target);
}

void TestSettingDialog::formIsFixedAndHasNoHelpButton()
{
    SettingDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("设置"));
    QCOMPARE(dialog.minimumSize(), QSize(413, 183));
    QCOMPARE(dialog.maximumSize(), QSize(413, 183));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
}

QTEST_MAIN(TestSettingDialog)
#include "tst_settingdialog.moc"
