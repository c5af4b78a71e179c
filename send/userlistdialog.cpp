#include "send/userlistdialog.h"
#include "ui_userlistdialog.h"

#include "protocol/presencelist.h"
#include "settings/settingskeys.h"

#include <QHash>
#include <QHostAddress>
#include <QSettings>

#include <memory>

namespace {

QString addressOf(const QListWidgetItem *item)
{
    return item->data(Qt::UserRole).toString();
}

// Why "确定" stays disabled for a typed address; empty when it does not.
QString addressProblem(const QString &text)
{
    if (text.isEmpty() || PresenceList::isHostIPv4(text))
        return QString();
    QHostAddress address;
    if (address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol &&
        address.toString() == text)
        return UserListDialog::tr("这是广播、组播或未指定的地址，不是一台电脑的地址。");
    return UserListDialog::tr("不是有效的 IPv4 地址：应为四个 0～255 的数，例如 192.168.1.7。");
}

} // namespace

UserListDialog::UserListDialog(QWidget *parent) : QDialog(parent), ui(new Ui::UserListDialog)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(ui->listWidget, &QListWidget::currentItemChanged, this, &UserListDialog::chooseRow);
    connect(ui->listWidget, &QListWidget::itemSelectionChanged, this,
            &UserListDialog::keepCurrentSelected);
    connect(ui->ipLineEdit, &QLineEdit::textChanged, this, &UserListDialog::addressEdited);

    settings = SettingsKeys::openConfig();
    const QString last = SettingsKeys::lastReceiver(*settings);
    if (PresenceList::isHostIPv4(last))
        ui->ipLineEdit->setText(last);
    // Focus on the list would make its first row current, and so choose it, over the address
    // remembered.
    ui->ipLineEdit->setFocus();
    showState();
}

UserListDialog::~UserListDialog() = default;

QString UserListDialog::selectedIp() const
{
    const QString text = ui->ipLineEdit->text().trimmed();
    return PresenceList::isHostIPv4(text) ? text : QString();
}

void UserListDialog::done(int result)
{
    const QString ip = selectedIp();
    if (result == QDialog::Accepted && !ip.isEmpty())
        settings->setValue(SettingsKeys::lastReceiverKey(), ip);
    QDialog::done(result);
}

void UserListDialog::setMarks(std::function<ReceiverMark::Kind(const QString &address)> markOf)
{
    marks = std::move(markOf);
}

void UserListDialog::userListUpdate(const QStringList &arg)
{
    QStringList order;
    QHash<QString, QString> shown; // address -> text of its row
    QHash<QString, ReceiverMark::Kind> marked;
    for (const QString &text : arg) {
        const QStringList fields = text.split(QLatin1Char(':'));
        if (fields.size() < 2 || !PresenceList::isHostIPv4(fields.at(1)) ||
            shown.contains(fields.at(1)))
            continue;
        // A line break in a name would make it look like the address line.
        QString name = fields.at(0);
        name.replace(QLatin1Char('\r'), QLatin1Char(' '))
            .replace(QLatin1Char('\n'), QLatin1Char(' '));
        order.append(fields.at(1));
        // The mark ends the address line, which no name can reach, so that no name fakes it.
        const ReceiverMark::Kind mark = marks ? marks(fields.at(1)) : ReceiverMark::None;
        marked.insert(fields.at(1), mark);
        shown.insert(fields.at(1), tr("用户名：") + name + tr("\nIP：") + fields.at(1) +
                                       ReceiverMark::text(mark));
    }

    QListWidget *list = ui->listWidget;
    // Taking the current row away would make its neighbour current, a choice nobody made.
    if (list->currentItem() && !shown.contains(addressOf(list->currentItem())))
        list->setCurrentItem(nullptr);
    for (int row = list->count() - 1; row >= 0; --row) {
        QListWidgetItem *item = list->item(row);
        const auto text = shown.constFind(addressOf(item));
        if (text == shown.constEnd()) {
            std::unique_ptr<QListWidgetItem> gone(list->takeItem(row));
            continue;
        }
        if (item->text() != *text)
            item->setText(*text);
        item->setToolTip(ReceiverMark::toolTip(marked.value(text.key())));
        shown.erase(text);
    }
    for (const QString &address : qAsConst(order)) {
        const auto text = shown.constFind(address);
        if (text == shown.constEnd())
            continue; // has a row already
        auto *item = new QListWidgetItem(*text, list);
        item->setData(Qt::UserRole, address);
        item->setToolTip(ReceiverMark::toolTip(marked.value(address)));
    }
    if (!list->currentItem())
        addressEdited(ui->ipLineEdit->text()); // the address in the field may just have come
    showState();
}

void UserListDialog::on_pushButton_2_clicked()
{
    ui->listWidget->clear();
    showState();
    emit userListRefresh();
}

void UserListDialog::chooseRow(QListWidgetItem *current)
{
    if (!current)
        return;
    keepCurrentSelected();
    if (ui->ipLineEdit->text().trimmed() != addressOf(current))
        ui->ipLineEdit->setText(addressOf(current));
    showState();
}

// A row made current by focus or keys, or unselected by Ctrl+click, is still the choice, so it
// is drawn as one.
void UserListDialog::keepCurrentSelected()
{
    QListWidgetItem *current = ui->listWidget->currentItem();
    if (current && !current->isSelected())
        ui->listWidget->selectionModel()->select(ui->listWidget->currentIndex(),
                                                 QItemSelectionModel::ClearAndSelect);
}

void UserListDialog::addressEdited(const QString &text)
{
    QListWidgetItem *item = itemOf(text.trimmed());
    if (item != ui->listWidget->currentItem())
        ui->listWidget->setCurrentItem(item);
    showState();
}

QListWidgetItem *UserListDialog::itemOf(const QString &address) const
{
    for (int row = 0; row < ui->listWidget->count(); ++row) {
        if (addressOf(ui->listWidget->item(row)) == address)
            return ui->listWidget->item(row);
    }
    return nullptr;
}

void UserListDialog::showState()
{
    ui->emptyLabel->setVisible(ui->listWidget->count() == 0);
    ui->pushButton->setEnabled(!selectedIp().isEmpty());
    const QString problem = addressProblem(ui->ipLineEdit->text().trimmed());
    ui->ipHintLabel->setText(problem);
    ui->ipHintLabel->setVisible(!problem.isEmpty());
}
