#ifndef SETTINGDIALOG_H
#define SETTINGDIALOG_H

#include <QDialog>

#include <memory>

class QSettings;

namespace Ui {
class SettingDialog;
}

// Edits the user name and the save folder; every change is stored the moment it is made.
class SettingDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingDialog(QWidget *parent = nullptr);
    ~SettingDialog() override;

private slots:
    void on_pushButton_clicked();
    void on_userNameLineEdit_textChanged(const QString &arg1);

private:
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Ui::SettingDialog> ui;
};

#endif // SETTINGDIALOG_H
