#ifndef PLANPOOL_H
#define PLANPOOL_H

#include "protocol/manifest.h"
#include "receive/partialregistry.h"
#include "receive/receiveplanner.h"
#include "settings/settingskeys.h"

#include <QByteArray>
#include <QStringList>
#include <QThreadPool>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Plans extended transfers beside the receive thread: the manifest is parsed and the save folder
// compared with it there, as both grow with the transfer and comparing reads files. A plan is
// handed back through a callback that the transfer withdraws when it stops waiting, and every
// plan of a session is cancelled and waited for before the session goes, since planners use the
// shared hash cache.
class StreamUnpacker;

class PlanPool
{
public:
    struct Input
    {
        QByteArray manifest;
        // Of a second plan, once the sender told the hashes asked for: parsed already.
        Manifest parsed;
        bool hasParsed = false;
        qint64 items = 0; // as the request announced them
        qint64 size = 0;
        QString saveDir;
        SettingsKeys::NameClash nameClash = SettingsKeys::NameClash::Overwrite;
        QString senderId;
        PartialRegistry partials;
        std::function<void(const std::atomic<bool> &)> beforePlan;
    };
    struct Result
    {
        bool valid = false; // the manifest parsed and matched the request
        Manifest manifest;
        ReceivePlanner::Result plan;
        // Top-level items that the name-clash rule will replace.
        QStringList replaced;
        // Files the sender sent no hash of, whose sizes match a file here: worth the asking.
        QVector<int> candidates;
    };
    // One plan's line back to its transfer.
    class Ticket
    {
    public:
        std::atomic<bool> cancelled{false};
        std::atomic<qint64> done{0}; // items looked at

        // Stops the delivery; once it returns, the callback is not running and never will.
        void withdraw();

    private:
        friend class PlanPool;
        std::mutex lock;
        std::function<void(const Result &)> deliver;
    };

    PlanPool();
    ~PlanPool();

    // Runs `deliver` in the planner's thread with the result, unless withdrawn before.
    std::shared_ptr<Ticket> start(Input input, std::function<void(const Result &)> deliver);
    void cancelAll();
    void waitForDone();

private:
    static Result plan(const Input &input, Ticket *ticket);
    static QVector<int> candidatesOf(StreamUnpacker &paths, const Manifest &manifest,
                                     const TransferPlan &plan);
    static QStringList replacedTops(const QString &saveDir, const Manifest &manifest,
                                    const QHash<QString, QString> &continued);

    QThreadPool pool;
    std::mutex lock;
    std::vector<std::weak_ptr<Ticket>> tickets;
};

#endif // PLANPOOL_H
