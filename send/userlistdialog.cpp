#include "send/userlistdialog.h"
#include "ui_userlistdialog.h"

UserListDialog::UserListDialog(QWidget *parent) : QDialog(parent), ui(new Ui::UserListDialog)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
}

UserListDialog::~UserListDialog() = default;

QString UserListDialog::selectedIp() const
{
    // Focusing the list makes its first row current without highlighting it; only a row the
    // user picked, and so sees highlighted, is a choice.
    const QListWidgetItem *item = ui->listWidget->currentItem();
    if (ui->listWidget->currentRow() < 0 || !item || !item->isSelected())
        return QString();
    return item->data(Qt::UserRole).toString();
}

void UserListDialog::userListUpdate(const QStringList &arg)
{
    ui->listWidget->clear();
    for (const QString &text : arg) {
        const QStringList fields = text.split(QLatin1Char(':'));
        // Anything can reach the presence port; a text without an address field is no receiver.
        if (fields.size() < 2)
            continue;
        const QString &name = fields.at(0);
        const QString &address = fields.at(1);
        auto *item = new QListWidgetItem(ui->listWidget);
        item->setData(Qt::DisplayRole, tr("用户名：") + name + tr("\nIP：") + address);
        item->setData(Qt::UserRole, address);
    }
}

void UserListDialog::on_pushButton_2_clicked()
{
    ui->listWidget->clear();
    emit userListRefresh();
}
