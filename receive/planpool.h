#ifndef PLANPOOL_H
#define PLANPOOL_H

#include "protocol/contenthash.h"
#include "protocol/manifest.h"
#include "receive/receiveplanner.h"
#include "receive/savefolder.h"

#include <QByteArray>
#include <QHash>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class PartialRegistry;

// Plans extended transfers beside the receive thread: the manifest is parsed and the save folder
// compared with it there, as both grow with the transfer and comparing reads files. A plan is
// handed back through a callback that the transfer withdraws when it stops waiting, and every
// plan of a session is cancelled and waited for before the session goes, since planners use the
// shared hash cache.
class PlanPool
{
public:
    struct Input
    {
        explicit Input(const SaveFolder &folder) : folder(folder) {}

        QByteArray manifest;
        qint64 items = 0; // as the request announced them
        qint64 size = 0;
        SaveFolder folder;
        QString senderId;
        PartialRegistry *partials = nullptr;
        // Of a second plan, once the sender told the hashes asked for: the first one.
        std::optional<ReceivePlanner::Result> first;
        Manifest parsed;
        QHash<int, ContentHash::Value> senderHashes;
        std::function<void(const std::atomic<bool> &)> beforePlan;
    };
    struct Result
    {
        bool valid = false; // the manifest parsed and matched the request
        Manifest manifest;
        // Its `compare` lists the files worth asking the sender's hashes of.
        ReceivePlanner::Result plan;
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
    Result plan(const Input &input, Ticket *ticket, HashCache::Records *spent);

    QThreadPool readers; // before `pool`, whose planners use it
    QThreadPool pool;
    std::mutex lock;
    std::vector<std::weak_ptr<Ticket>> tickets;
};

#endif // PLANPOOL_H
