#ifndef USERLISTDIALOG_H
#define USERLISTDIALOG_H

#include "send/receivermark.h"

#include <QDialog>
#include <QStringList>

#include <functional>
#include <memory>

class QListWidgetItem;
class QSettings;

namespace Ui {
class UserListDialog;
}

// The chooser of the receiver: one entry per receiver heard ("name:address:receive"), showing
// name and address, and a field for an address typed by hand. The field always holds the answer:
// choosing an entry fills it, and typing the address of an entry chooses that entry. "确定" is
// enabled only while it holds an IPv4 address; "刷新" forgets what was heard. A receiver's name may
// carry a mark (ReceiverMark).
class UserListDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UserListDialog(QWidget *parent = nullptr);
    ~UserListDialog() override;

    // The receiver's address after exec() returned Accepted; empty when the field holds no
    // IPv4 address.
    QString selectedIp() const;

    // Remembers an accepted address for the next send (settings key "lastReceiver").
    void done(int result) override;

    // How the receiver at an address is marked; asked at each update. No marks without it.
    void setMarks(std::function<ReceiverMark::Kind(const QString &address)> markOf);

signals:
    void userListRefresh();

public slots:
    // Brings the entries in line with the presence texts given: rows of addresses no longer
    // heard go, renamed ones change their text, new ones are appended; the chosen row stays.
    void userListUpdate(const QStringList &arg);

private slots:
    void on_pushButton_2_clicked();
    void chooseRow(QListWidgetItem *current);
    void keepCurrentSelected();
    void addressEdited(const QString &text);

private:
    QListWidgetItem *itemOf(const QString &address) const;
    void showState();

    std::unique_ptr<Ui::UserListDialog> ui;
    std::unique_ptr<QSettings> settings;
    std::function<ReceiverMark::Kind(const QString &address)> marks;
};

#endif // USERLISTDIALOG_H
