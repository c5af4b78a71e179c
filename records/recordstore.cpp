#include "records/recordstore.h"

#include "records/legacyrecords.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace {

std::atomic<quint64> storeCount{0};
std::atomic<quint64> threadCount{0};

// The connections this thread opened, with their prepared statements; a connection may only be
// closed where nothing uses it any more, and a thread that ends uses nothing.
struct ThreadConnections
{
    const quint64 number = ++threadCount;
    QStringList names;
    struct Statement
    {
        explicit Statement(const QSqlDatabase &db) : query(db) { query.setForwardOnly(true); }
        QSqlQuery query;
        bool prepared = false;
    };
    // By connection, then by text; QSqlQuery is not meant to be copied.
    std::map<QString, std::map<QString, std::unique_ptr<Statement>>> statements;
    ~ThreadConnections();
    void release();
    void releaseLocked();
};
thread_local ThreadConnections threadConnections;

// Qt closes every connection left in its list as the application object goes, from the main
// thread; a thread that ends at that moment would close its own too, and both would free the same
// statements. Whichever comes second leaves the connections alone.
std::mutex teardown;
bool applicationGone = false;

void markApplicationGone()
{
    const std::lock_guard<std::mutex> lock(teardown);
    // Qt's clean-up runs in this thread, which lets go of its own connections first.
    threadConnections.releaseLocked();
    applicationGone = true;
}

ThreadConnections::~ThreadConnections()
{
    const std::lock_guard<std::mutex> lock(teardown);
    if (!applicationGone) {
        releaseLocked();
        return;
    }
    // A thread still running as the process ends: Qt has closed its connections, what is left
    // is only let go of.
    for (auto &connection : statements) {
        for (auto &statement : connection.second)
            (void)statement.second.release();
    }
}

void ThreadConnections::release()
{
    const std::lock_guard<std::mutex> lock(teardown);
    if (!applicationGone)
        releaseLocked();
}

void ThreadConnections::releaseLocked()
{
    statements.clear();
    for (const QString &name : qAsConst(names))
        QSqlDatabase::removeDatabase(name);
    names.clear();
}

// Closes a connection; only this thread's statements can be let go of first.
void removeConnection(const QString &name)
{
    threadConnections.statements.erase(name);
    QSqlDatabase::removeDatabase(name);
}

// The hashes are kept in the order of their paths, so that a folder's records are read in one
// pass rather than looked up one by one through an index.
const char *const tables[] = {
    "CREATE TABLE IF NOT EXISTS hashes (path TEXT PRIMARY KEY, size INTEGER NOT NULL,"
    " modified INTEGER NOT NULL, changed INTEGER NOT NULL, inode INTEGER NOT NULL,"
    " device INTEGER NOT NULL, hash TEXT NOT NULL, used INTEGER NOT NULL) WITHOUT ROWID",
    "CREATE INDEX IF NOT EXISTS hashes_used ON hashes (used)",
    "CREATE TABLE IF NOT EXISTS checkpoints (path TEXT NOT NULL, version INTEGER NOT NULL,"
    " offset INTEGER NOT NULL, state BLOB NOT NULL, time INTEGER NOT NULL,"
    " PRIMARY KEY (path, version, offset))",
    "CREATE TABLE IF NOT EXISTS partials (final_path TEXT PRIMARY KEY, sender TEXT NOT NULL,"
    " item TEXT NOT NULL, size INTEGER NOT NULL, version INTEGER NOT NULL, hash TEXT,"
    " time INTEGER NOT NULL, kept INTEGER NOT NULL, state BLOB)",
    "CREATE INDEX IF NOT EXISTS partials_item ON partials (sender, item)",
    ("CREATE TABLE IF NOT EXISTS devices (fingerprint TEXT PRIMARY KEY, name TEXT NOT NULL,"
     " address TEXT NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL)"),
    "CREATE INDEX IF NOT EXISTS devices_name ON devices (name)",
};

bool isDatabase(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(16) == QByteArray("SQLite format 3", 16);
}

} // namespace

RecordStore::RecordStore(const QString &fileName)
    : filePath(QFileInfo(fileName).absoluteFilePath()),
      connectionPrefix(QStringLiteral("nubo-records-%1-").arg(++storeCount))
{
    ready = makeTables();
    if (!ready && QFileInfo::exists(filePath) && !isDatabase(filePath)) {
        // Records are remembered work, never the only copy of anything: a file that is not a
        // database goes. One that is may be busy, and stays.
        qWarning() << "records: starting afresh:" << filePath;
        {
            std::lock_guard<std::mutex> lock(naming);
            for (const QString &name : qAsConst(connections))
                removeConnection(name);
            connections.clear();
        }
        for (const QString &name : fileNames())
            QFile::remove(QFileInfo(filePath).dir().filePath(name));
        ready = makeTables();
    }
    if (ready)
        LegacyRecords::takeOver(*this, QFileInfo(filePath).absolutePath());
}

RecordStore::~RecordStore()
{
    std::lock_guard<std::mutex> lock(naming);
    for (const QString &name : qAsConst(connections))
        removeConnection(name);
}

QStringList RecordStore::fileNames()
{
    const QString name = fileName();
    return {name, name + QStringLiteral("-wal"), name + QStringLiteral("-shm"),
            name + QStringLiteral("-journal")};
}

RecordStore &RecordStore::shared()
{
    // Kept for the whole run, never destroyed: the connections go with their threads, which end
    // before the static objects of Qt SQL do, and a store closed after those would crash.
    static std::mutex mutex;
    static auto *const stores = new std::map<QString, std::unique_ptr<RecordStore>>;
    const QString path = QDir::current().absoluteFilePath(fileName());
    const std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<RecordStore> &store = (*stores)[path];
    if (!store)
        store = std::make_unique<RecordStore>(path);
    return *store;
}

void RecordStore::releaseThread()
{
    threadConnections.release();
}

QString RecordStore::connectionName() const
{
    return connectionPrefix + QString::number(threadConnections.number);
}

QSqlDatabase RecordStore::database() const
{
    const QString name = connectionName();
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name, false);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    // Added after Qt's own clean-up of the connections, so run before it.
    static std::once_flag cleanUp;
    std::call_once(cleanUp, [] { qAddPostRoutine(markApplicationGone); });
    threadConnections.names << name;
    {
        std::lock_guard<std::mutex> lock(naming);
        connections << name;
    }
    db.setDatabaseName(filePath);
    // Another thread's write holds the file only for one small transaction.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    if (!db.open()) {
        qWarning() << "records:" << db.lastError().text();
        return db;
    }
    // The write-ahead log keeps a crash from leaving half a transaction, and lets readers on
    // other threads go on while one writes.
    QSqlQuery pragmas(db);
    pragmas.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    pragmas.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // Each thread has its own connection and page cache; the records are read in a few big
    // passes, which a small cache serves as well as SQLite's 2 MB default. Pages are read
    // through a mapping of the file rather than copied in one read call each: a new thread's
    // connection starts with an empty cache, and reading a large folder's records would
    // otherwise spend much of its time copying.
    pragmas.exec(QStringLiteral("PRAGMA cache_size=-256"));
    pragmas.exec(QStringLiteral("PRAGMA mmap_size=1073741824"));
    return db;
}

bool RecordStore::makeTables()
{
    const auto run = [this](const char *statement) {
        QSqlQuery &query = this->query(QString::fromLatin1(statement));
        if (query.exec())
            return true;
        qWarning() << "records:" << query.lastError().text();
        return false;
    };
    return write([&] {
        // Hashes kept by row number, as earlier versions kept them, move over once.
        QSqlQuery &old = query(QStringLiteral(
            "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'hashes'"));
        const bool moving = old.exec() && old.next() &&
                            !old.value(0).toString().contains(QLatin1String("WITHOUT ROWID"));
        old.finish();
        if (moving && !(run("ALTER TABLE hashes RENAME TO hashes_by_row") &&
                        run("DROP INDEX IF EXISTS hashes_used")))
            return false;
        if (!std::all_of(std::begin(tables), std::end(tables), run))
            return false;
        return !moving ||
               (run("INSERT INTO hashes SELECT path, size, modified, changed, inode, device, hash,"
                    " used FROM hashes_by_row") &&
                run("DROP TABLE hashes_by_row"));
    });
}

QSqlQuery &RecordStore::query(const QString &statement) const
{
    // Preparing costs as much as a lookup itself, so each thread keeps what it prepared.
    auto &kept = threadConnections.statements[connectionName()][statement];
    if (!kept)
        kept = std::make_unique<ThreadConnections::Statement>(database());
    if (!kept->prepared)
        kept->prepared = kept->query.prepare(statement);
    return kept->query;
}

bool RecordStore::write(const std::function<bool()> &work)
{
    const std::lock_guard<std::recursive_mutex> lock(writing);
    if (writeDepth > 0)
        return work();
    QSqlDatabase db = database();
    if (!db.isOpen())
        return false;
    // Immediate: the file is locked for writing at once, not at the first write of the work.
    QSqlQuery &begin = query(QStringLiteral("BEGIN IMMEDIATE"));
    if (!begin.exec()) {
        qWarning() << "records:" << begin.lastError().text();
        return false;
    }
    ++writeDepth;
    const bool done = work();
    --writeDepth;
    if (done && query(QStringLiteral("COMMIT")).exec())
        return true;
    query(QStringLiteral("ROLLBACK")).exec();
    return false;
}
