#include "settings/settingdialog.h"
#include "ui_settingdialog.h"

#include "settings/settingskeys.h"

#include <QFileDialog>
#include <QSettings>

SettingDialog::SettingDialog(QWidget *parent) : QDialog(parent), ui(new Ui::SettingDialog)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    settings = SettingsKeys::openConfig();
    // Filling the field runs the text slot, which writes a good name back: from the first start
    // on the file holds a "userName" entry. A bad one from an older file is shown, to be fixed.
    ui->userNameLineEdit->setText(SettingsKeys::userName(*settings));
    showUserNameHint(); // an empty stored name changes no text
    ui->SaveDirLineEdit->setText(SettingsKeys::saveDir(*settings));
}

SettingDialog::~SettingDialog() = default;

void SettingDialog::on_pushButton_clicked()
{
    const QString start = SettingsKeys::saveDir(*settings);
    const QString chosen = QFileDialog::getExistingDirectory(this, tr("选择一个文件夹"), start,
                                                             QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    settings->setValue(SettingsKeys::saveDirKey(), chosen);
    ui->SaveDirLineEdit->setText(chosen);
}

void SettingDialog::done(int result)
{
    // Leaving with a bad name in the field: show the name that is really in use.
    const QString stored = SettingsKeys::userName(*settings);
    if (!SettingsKeys::isValidUserName(ui->userNameLineEdit->text()) &&
        SettingsKeys::isValidUserName(stored))
        ui->userNameLineEdit->setText(stored);
    QDialog::done(result);
}

void SettingDialog::on_userNameLineEdit_textChanged(const QString &arg1)
{
    if (SettingsKeys::isValidUserName(arg1))
        settings->setValue(SettingsKeys::userNameKey(), arg1);
    showUserNameHint();
}

void SettingDialog::showUserNameHint()
{
    QLabel *hint = ui->userNameHintLabel;
    if (SettingsKeys::isValidUserName(ui->userNameLineEdit->text())) {
        hint->hide();
        return;
    }
    const QString stored = SettingsKeys::userName(*settings);
    const QString rule =
        tr("用户名不能为空，不能含有“:”或换行，最多%1个字。").arg(SettingsKeys::maxUserNameLength);
    hint->setText(rule + (SettingsKeys::isValidUserName(stored)
                              ? tr("仍使用原用户名“%1”。").arg(stored)
                              : tr("改正之前，接收时对方看不到本机。")));
    hint->show();
}
