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
    // Filling the field runs the text slot, which writes the name back: from the first start on
    // the file holds a "userName" entry.
    ui->userNameLineEdit->setText(SettingsKeys::userName(*settings));
    ui->SaveDirLineEdit->setText(SettingsKeys::saveDir(*settings));
}

SettingDialog::~SettingDialog() = default;

void SettingDialog::on_pushButton_clicked()
{
    const QString start = SettingsKeys::saveDir(*settings);
    const QString chosen = QFileDialog::getExistingDirectory(
        this, tr("选择一个文件夹"), start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    settings->setValue(SettingsKeys::saveDirKey(), chosen);
    ui->SaveDirLineEdit->setText(chosen);
}

void SettingDialog::on_userNameLineEdit_textChanged(const QString &arg1)
{
    settings->setValue(SettingsKeys::userNameKey(), arg1);
}
