#ifndef DEVICELIST_H
#define DEVICELIST_H

#include "records/knowndevices.h"

#include <QWidget>

class QLabel;
class QTreeWidget;

// The devices paired with this installation, as KnownDevices holds them: name, address and the
// start of the fingerprint, each with a button "忘记" that forgets it once the user confirms.
class DeviceList : public QWidget
{
    Q_OBJECT

public:
    // Shows this many rows at most before it scrolls, so that a long list keeps 设置 small.
    static constexpr int maxRowsShown = 4;

    explicit DeviceList(QWidget *parent = nullptr);

    // Reads the list anew; pairing may have added a device since it was last shown.
    void refresh();

private:
    void add(const KnownDevices::Device &device);
    void forget(const KnownDevices::Device &device);
    void fitRows();

    KnownDevices devices;
    QTreeWidget *tree;
    QLabel *emptyLabel;
};

#endif // DEVICELIST_H
