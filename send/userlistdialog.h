#ifndef USERLISTDIALOG_H
#define USERLISTDIALOG_H

#include <QDialog>
#include <QStringList>

#include <memory>

namespace Ui {
class UserListDialog;
}

// The chooser of the receiver: one entry per presence text heard ("name:address:receive"),
// showing name and address; "确定" accepts, "刷新" forgets what was heard.
class UserListDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UserListDialog(QWidget *parent = nullptr);
    ~UserListDialog() override;

    // The address of the entry the user picked; empty when none is current and highlighted.
    QString selectedIp() const;

signals:
    void userListRefresh();

public slots:
    // Rebuilds the whole list from the peer texts heard so far.
    void userListUpdate(const QStringList &arg);

private slots:
    void on_pushButton_2_clicked();

private:
    std::unique_ptr<Ui::UserListDialog> ui;
};

#endif // USERLISTDIALOG_H
