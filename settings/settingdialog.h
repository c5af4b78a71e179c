#ifndef SETTINGDIALOG_H
#define SETTINGDIALOG_H

#include <QDialog>

#include <memory>

class QSettings;

namespace Ui {
class SettingDialog;
}

// Edits the user name and the save folder; every change is stored the moment it is made. A name
// that cannot be announced is not stored: the dialog says why and the last good name stays.
class SettingDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingDialog(QWidget *parent = nullptr);
    ~SettingDialog() override;

    void done(int result) override;

private slots:
    void on_pushButton_clicked();
    void on_userNameLineEdit_textChanged(const QString &arg1);

private:
    void showUserNameHint();

    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Ui::SettingDialog> ui;
};

#endif // SETTINGDIALOG_H
