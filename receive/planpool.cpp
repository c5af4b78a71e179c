#include "receive/planpool.h"

#include "protocol/hashcache.h"
#include "receive/streamunpacker.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRunnable>
#include <QSet>

namespace {

class PlanJob : public QRunnable
{
public:
    explicit PlanJob(std::function<void()> work) : work(std::move(work)) {}
    void run() override { work(); }

private:
    std::function<void()> work;
};

QStringList ownFiles()
{
    QStringList own;
    for (const QString &name : SettingsKeys::workingFolderFiles())
        own << QFileInfo(name).absoluteFilePath();
    return own;
}

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
    pool.start(new PlanJob([shared, ticket] {
        const Result result = plan(*shared, ticket.get());
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

PlanPool::Result PlanPool::plan(const Input &input, Ticket *ticket)
{
    if (input.beforePlan)
        input.beforePlan(ticket->cancelled);
    QElapsedTimer clock;
    clock.start();
    Result result;
    if (input.hasParsed)
        result.manifest = input.parsed;
    result.valid = (input.hasParsed || Manifest::parse(input.manifest, &result.manifest)) &&
                   result.manifest.items.size() == input.items &&
                   result.manifest.totalSize() == input.size;
    if (!result.valid || ticket->cancelled)
        return result;
    StreamUnpacker paths(input.saveDir);
    paths.setProtectedPaths(ownFiles());
    const QString cleanSave = QDir::cleanPath(QFileInfo(input.saveDir).absoluteFilePath());
    result.plan = ReceivePlanner::plan(paths, cleanSave, result.manifest, input.senderId,
                                       input.partials, &HashCache::shared(), &ticket->cancelled);
    ticket->done = result.manifest.items.size();
    if (!input.hasParsed)
        result.candidates = candidatesOf(paths, result.manifest, result.plan.plan);
    if (input.nameClash == SettingsKeys::NameClash::Overwrite)
        result.replaced = replacedTops(cleanSave, result.manifest, result.plan.continued);
    qDebug().noquote() << QStringLiteral("planned %1 items in %2 ms")
                              .arg(result.manifest.items.size())
                              .arg(clock.elapsed());
    return result;
}

QVector<int> PlanPool::candidatesOf(StreamUnpacker &paths, const Manifest &manifest,
                                    const TransferPlan &plan)
{
    QVector<int> candidates;
    for (int i = 0; i < manifest.items.size(); ++i) {
        const Manifest::Item &item = manifest.items.at(i);
        if (!item.isFile || item.hasHash || plan.steps.at(i).action != TransferPlan::Whole)
            continue;
        const QString path = paths.pathFor(item.name);
        qint64 size = 0;
        qint64 time = 0;
        if (!path.isEmpty() && HashCache::plainFile(path, &size, &time) && size == item.size)
            candidates << i;
    }
    return candidates;
}

QStringList PlanPool::replacedTops(const QString &saveDir, const Manifest &manifest,
                                   const QHash<QString, QString> &continued)
{
    QStringList replaced;
    QSet<QString> seen;
    for (const Manifest::Item &item : manifest.items) {
        const QString top = item.name.section(QLatin1Char('/'), 0, 0);
        if (seen.contains(top) || continued.contains(top))
            continue;
        seen.insert(top);
        const QFileInfo existing(saveDir + QLatin1Char('/') + top);
        if (!top.isEmpty() && top != QLatin1String("..") && top != QLatin1String(".") &&
            (existing.exists() || existing.isSymLink()))
            replaced << top;
    }
    return replaced;
}
