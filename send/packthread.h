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

    // Starts packing job `job`, after a previous one has ended; the signals carry the job, as
    // those of a cancelled job may still be on their way.
    void pack(const QStringList &paths, std::shared_ptr<PackProgress> progress, int job);
    void cancel() { cancelled = true; }

signals:
    // The collected items, counts and sizes; the work file is being written.
    void listed(int job, const SendPacker &packer);
    // `error` is a SendPacker::Error; `item` names the entry it is about, if any.
    void packFailed(int job, int error, const QString &item);

protected:
    void run() override;

private:
    QStringList paths;
    std::shared_ptr<PackProgress> progress;
    int job = 0;
    std::atomic<bool> cancelled{false};
};

Q_DECLARE_METATYPE(SendPacker)

#endif // PACKTHREAD_H
