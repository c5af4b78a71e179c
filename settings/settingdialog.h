#ifndef SETTINGDIALOG_H
#define SETTINGDIALOG_H

#include <QDialog>

#include <memory>

class Identity;
class QSettings;

namespace Ui {
class SettingDialog;
}

// Edits the user name, the save folder and what a received item does on a name clash. "确定"
// stores them, "取消" and Esc leave everything as it was. A name that cannot be announced is not
// stored: the dialog says why and the previous name stays. Below them: this installation's
// fingerprint, and the devices paired with it, which can be forgotten one by one.
class SettingDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingDialog(QWidget *parent = nullptr);
    ~SettingDialog() override;

    void done(int result) override;
    // Shows the identity's fingerprint, or in red why it cannot be used; the working folder's
    // identity from the start.
    void showIdentity(const Identity &identity);

protected:
    void showEvent(QShowEvent *event) override;

signals:
    // "确定" has stored the fields; open views take the new values at once.
    void settingsChanged();

private slots:
    void on_pushButton_clicked();
    void on_userNameLineEdit_textChanged(const QString &arg1);

private:
    void load();
    void store();
    void showUserNameHint();
    void showSaveDirHint();
    void fitHeight();

    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Ui::SettingDialog> ui;
};

#endif // SETTINGDIALOG_H
