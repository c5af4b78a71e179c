#include "receive/planpool.h"

#include "records/hashcache.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QRunnable>

namespace {

class PlanJob : public QRunnable
{
public:
    explicit PlanJob(std::function<void()> work) : work(std::move(work)) {}
    void run() override { work(); }

private:
    std::function<void()> work;
};

} // namespace

void PlanPool::Ticket::withdraw()
{
    cancelled = true;
    const std::lock_guard<std::mutex> guard(lock);
    deliver = nullptr;
}

PlanPool::PlanPool()
{
    // One transfer plans at a time; a second only while the first is being given up.
    pool.setMaxThreadCount(2);
    readers.setMaxThreadCount(2);
    // A planner's side jobs each get a thread that starts with them: handing one to a waiting
    // thread goes through Qt's own lock, which ThreadSanitizer cannot see, and a thread costs
    // little beside a plan.
    readers.setExpiryTimeout(0);
}

PlanPool::~PlanPool()
{
    cancelAll();
    waitForDone();
}

std::shared_ptr<PlanPool::Ticket> PlanPool::start(Input input,
                                                  std::function<void(const Result &)> deliver)
{
    auto ticket = std::make_shared<Ticket>();
    ticket->deliver = std::move(deliver);
    {
        const std::lock_guard<std::mutex> guard(lock);
        tickets.erase(std::remove_if(tickets.begin(), tickets.end(),
                                     [](const std::weak_ptr<Ticket> &t) { return t.expired(); }),
                      tickets.end());
        tickets.push_back(ticket);
    }
    auto shared = std::make_shared<Input>(std::move(input));
    pool.start(new PlanJob([this, shared, ticket] {
        HashCache::Records spent; // freed once the result is on its way
        const Result result = plan(*shared, ticket.get(), &spent);
        const std::lock_guard<std::mutex> guard(ticket->lock);
        if (ticket->deliver)
            ticket->deliver(result);
    }));
    return ticket;
}

void PlanPool::cancelAll()
{
    const std::lock_guard<std::mutex> guard(lock);
    for (const std::weak_ptr<Ticket> &weak : tickets) {
        if (const auto ticket = weak.lock())
            ticket->cancelled = true;
    }
}

void PlanPool::waitForDone()
{
    pool.waitForDone();
}

PlanPool::Result PlanPool::plan(const Input &input, Ticket *ticket, HashCache::Records *spent)
{
    if (input.beforePlan)
        input.beforePlan(ticket->cancelled);
    QElapsedTimer clock;
    clock.start();
    Result result;
    const auto ahead =
        input.first ? nullptr
                    : ReceivePlanner::readAhead(&readers, &HashCache::shared(), input.folder.dir(),
                                                input.manifest, input.items);
    if (input.first)
        result.manifest = input.parsed;
    result.valid = (input.first || Manifest::parse(input.manifest, &result.manifest)) &&
                   result.manifest.items.size() == input.items &&
                   result.manifest.totalSize() == input.size;
    if (!result.valid || ticket->cancelled)
        return result;
    ReceivePlanner planner(input.folder, result.manifest, input.senderId, input.partials,
                           &HashCache::shared());
    planner.setSidePool(&readers);
    planner.setRecordsAhead(ahead);
    // Read by the transfer's timer for its "W" lines, however often the planner moves on.
    planner.setProgress([ticket](int done, int) { ticket->done = done; });
    if (input.first)
        ticket->done = result.manifest.items.size();
    result.plan = input.first ? planner.finish(*input.first, input.senderHashes, &ticket->cancelled)
                              : planner.plan(&ticket->cancelled, spent);
    qDebug().noquote() << QStringLiteral("planned %1 items in %2 ms")
                              .arg(result.manifest.items.size())
                              .arg(clock.elapsed());
    return result;
}
