#include "receive/receivesession.h"

#include "receive/planpool.h"
#include "receive/receivelistener.h"
#include "records/recordstore.h"

#include <QDebug>
#include <QThread>

#include <openssl/crypto.h>

namespace {

// The worker returns to its loop within one piece of storing; this only bounds a worker stuck in
// the file system (a hung network share), which must not keep the program from ending.
constexpr int stopGraceMs = 3000;

} // namespace

ReceiveSession::ReceiveSession(QObject *parent)
    : QObject(parent), thread(new QThread(this)), planners(std::make_unique<PlanPool>()),
      listener(new ReceiveListener(planners.get()))
{
    qRegisterMetaType<ReceiveOffer>();
    qRegisterMetaType<StoredEntry>();
    qRegisterMetaType<QList<StoredEntry>>();
    qRegisterMetaType<QList<PartialRegistry::Entry>>();

    listener->moveToThread(thread);
    // The listener goes as the thread's last act, which whoever waits for the thread settles with.
    ending = connect(
        thread, &QThread::finished, thread,
        [this, owned = listener] {
            std::unique_ptr<ReceiveListener>(owned).reset();
            RecordStore::releaseThread();
            // The thread's own OpenSSL state (pairing nonces, error queue), before anyone who
            // waited for the thread goes on, perhaps to exit.
            OPENSSL_thread_stop();
            fromListener.settle();
        },
        Qt::DirectConnection);
    connectListener();
    thread->setObjectName(QStringLiteral("receive"));
    thread->start();
}

ReceiveSession::~ReceiveSession()
{
    close();
    thread->quit();
    const bool leftBehind = !thread->wait(stopGraceMs);
    if (leftBehind) {
        qWarning() << "接收线程未能及时结束，随程序退出";
        // Nothing of this object may be reached from that thread any more.
        disconnect(listener, nullptr, this, nullptr);
        if (disconnect(ending))
            connect(thread, &QThread::finished, listener, &QObject::deleteLater);
        thread->setParent(nullptr);
    } else {
        fromListener.settle();
    }
    // Even a receive thread left behind keeps no planner running on the shared hash cache.
    planners->cancelAll();
    planners->waitForDone();
    if (leftBehind) {
        // The thread left behind may still reach the pool: both go once it has ended, should the
        // program live that long.
        PlanPool *const pool = planners.release();
        QThread *const left = thread;
        connect(left, &QThread::finished, left, [left, pool] {
            const std::unique_ptr<PlanPool> owned(pool);
            left->deleteLater();
        });
    }
}

// Emitted in the receive thread, handed over to this one.
void ReceiveSession::connectListener()
{
    const auto toThis = [this](auto signal, auto call) {
        QObject::connect(listener, signal, this, fromListener.relay(call), Qt::DirectConnection);
    };
    toThis(&ReceiveListener::listened,
           [this](quint64 first, bool ok, const QString &error, quint16 extendedPort) {
               if (isCurrent(first))
                   emit listening(ok, error, extendedPort);
           });
    toThis(&ReceiveListener::partialsKept,
           [this](quint64 id, const QList<PartialRegistry::Entry> &entries) {
               if (isCurrent(id))
                   emit partialsKept(entries);
           });
    toThis(&ReceiveListener::offered, [this](quint64 transfer, const ReceiveOffer &offer) {
        if (!isCurrent(transfer))
            return;
        running = true;
        emit offered(transfer, offer);
    });
    toThis(&ReceiveListener::progress, [this](quint64 transfer, qint64 received, qint64 total) {
        if (isCurrent(transfer))
            emit progress(transfer, received, total);
    });
    toThis(&ReceiveListener::itemsStored,
           [this](quint64 transfer, const QList<StoredEntry> &entries, int unchanged) {
               if (isCurrent(transfer))
                   emit itemsStored(transfer, entries, unchanged);
           });
    toThis(&ReceiveListener::ended, [this](quint64 transfer, int outcome, const QString &reason) {
        if (!isCurrent(transfer))
            return;
        running = false;
        emit ended(transfer, outcome, reason);
    });
    toThis(&ReceiveListener::busyRefused,
           [this](quint64 transfer, const QString &sender, const QString &address) {
               if (isCurrent(transfer))
                   emit busyRefused(sender, address);
           });
}

void ReceiveSession::post(std::function<void(ReceiveListener *)> call)
{
    listener->post(std::move(call));
}

void ReceiveSession::listen(const QHostAddress &address, quint16 port, quint16 extendedPort)
{
    ++listenNumber;
    running = false;
    const QString text = address.toString();
    const quint64 first = listenNumber << 32;
    post([text, port, first, extendedPort](ReceiveListener *worker) {
        worker->listen(text, port, first, extendedPort);
    });
}

void ReceiveSession::close()
{
    ++listenNumber;
    running = false;
    post([](ReceiveListener *worker) { worker->close(); });
}

void ReceiveSession::setSaveFolder(const QString &saveDir, SettingsKeys::NameClash rule)
{
    settings.saveDir = saveDir;
    settings.nameClash = rule;
    post([taken = settings](ReceiveListener *worker) { worker->setSettings(taken); });
}

void ReceiveSession::setRememberPaired(bool remember)
{
    settings.rememberPaired = remember;
    post([taken = settings](ReceiveListener *worker) { worker->setSettings(taken); });
}

void ReceiveSession::setTimeouts(int idleMs, int answerMs, int quietMs, int requestMs)
{
    settings.idleMs = idleMs;
    settings.answerMs = answerMs;
    settings.quietMs = quietMs;
    settings.requestMs = requestMs;
    post([taken = settings](ReceiveListener *worker) { worker->setSettings(taken); });
}

void ReceiveSession::setPlanning(int signMs,
                                 std::function<void(const std::atomic<bool> &)> beforePlan)
{
    settings.planSignMs = signMs;
    settings.beforePlan = std::move(beforePlan);
    post([taken = settings](ReceiveListener *worker) { worker->setSettings(taken); });
}

void ReceiveSession::accept(quint64 transfer)
{
    post([transfer](ReceiveListener *worker) { worker->accept(transfer); });
}

void ReceiveSession::refuse(quint64 transfer)
{
    post([transfer](ReceiveListener *worker) { worker->refuse(transfer); });
}

void ReceiveSession::cancel(quint64 transfer)
{
    post([transfer](ReceiveListener *worker) { worker->cancel(transfer); });
}
