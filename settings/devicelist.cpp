#include "settings/devicelist.h"

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The first two groups of the readable form: enough to tell one's own devices apart; the whole
// form is in the tooltip, for comparing with what the other device shows in its 设置.
QString shortForm(const Fingerprint &fingerprint)
{
    return fingerprint.readable().left(9) + QChar(0x2026);
}

} // namespace

DeviceList::DeviceList(QWidget *parent)
    : QWidget(parent), tree(new QTreeWidget(this)), emptyLabel(new QLabel(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tree);
    layout->addWidget(emptyLabel);
    tree->setObjectName(QStringLiteral("devicesTree"));
    tree->setColumnCount(4);
    tree->setHeaderLabels({tr("名称"), tr("地址"), tr("指纹"), QString()});
    tree->setRootIsDecorated(false);
    tree->setSelectionMode(QAbstractItemView::NoSelection);
    tree->setFocusPolicy(Qt::NoFocus);
    tree->header()->setStretchLastSection(false);
    tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    emptyLabel->setObjectName(QStringLiteral("noDevicesLabel"));
    emptyLabel->setText(tr("还没有配对的设备。"));
    emptyLabel->setStyleSheet(QStringLiteral("color: gray;"));
    refresh();
}

void DeviceList::refresh()
{
    tree->clear();
    const QList<KnownDevices::Device> all = devices.all();
    for (const KnownDevices::Device &device : all)
        add(device);
    tree->setVisible(!all.isEmpty());
    emptyLabel->setVisible(all.isEmpty());
    fitRows();
}

void DeviceList::add(const KnownDevices::Device &device)
{
    auto *item =
        new QTreeWidgetItem(tree, {device.name, device.address, shortForm(device.fingerprint)});
    item->setToolTip(2, device.fingerprint.readable());
    auto *button = new QPushButton(tr("忘记"));
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(button, &QPushButton::clicked, this, [this, device] { forget(device); });
    tree->setItemWidget(item, 3, button);
}

void DeviceList::forget(const KnownDevices::Device &device)
{
    // A name is the other side's own words: shown as letters, never as markup.
    QMessageBox question(QMessageBox::Question, tr("提示"),
                         tr("忘记「%1」？下次传输需要重新核对配对码。").arg(device.name),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setTextFormat(Qt::PlainText);
    question.setDefaultButton(QMessageBox::No);
    if (question.exec() != QMessageBox::Yes)
        return;
    devices.forget(device.fingerprint);
    // Later, once the button that called this has returned.
    QMetaObject::invokeMethod(this, &DeviceList::refresh, Qt::QueuedConnection);
}

// As high as its rows, up to maxRowsShown: a list view asks for room for many more.
void DeviceList::fitRows()
{
    const int rows = qMin(tree->topLevelItemCount(), maxRowsShown);
    int row = fontMetrics().height() + 6;
    if (QTreeWidgetItem *first = tree->topLevelItem(0))
        row = qMax(row, tree->itemWidget(first, 3)->sizeHint().height());
    tree->setFixedHeight(tree->header()->sizeHint().height() + rows * row + 2 * tree->frameWidth());
}
