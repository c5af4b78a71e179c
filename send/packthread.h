#ifndef PACKTHREAD_H
#define PACKTHREAD_H

#include "send/sendpacker.h"

#include <QMetaType>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>

class PackProgress;

// Lists the dropped paths and packs them into the work file "send", away from the window:
// listed() comes as soon as the request can be built, and the file then grows while the
// user picks a receiver and while it is sent.
class PackThread : public QThread
{
    Q_OBJECT

public:
    explicit PackThread(QObject *parent = nullptr);
    ~PackThread() override; // cancels and waits

    // Starts a new packing; a previous one must have ended.
    void pack(const QStringList &paths, std::shared_ptr<PackProgress> progress);
    void cancel() { cancelled = true; }

signals:
    // The collected items, counts and sizes; the work file is being written.
    void listed(const SendPacker &packer);
    // `error` is a SendPacker::Error; `item` names the entry it is about, if any.
    void packFailed(int error, const QString &item);
    void packed();

protected:
    void run() override;

private:
    QStringList paths;
    std::shared_ptr<PackProgress> progress;
    std::atomic<bool> cancelled{false};
};

Q_DECLARE_METATYPE(SendPacker)

#endif // PACKTHREAD_H
