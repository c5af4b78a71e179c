#ifndef RECORDSTORE_H
#define RECORDSTORE_H

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>

// The working folder's records in one SQLite database: the hashes of files read before, the hash
// states a sender keeps for resuming, the partial files cut transfers left and the devices paired
// with this installation. Each change is a transaction of its own rows, so a crash leaves the
// records as they were before or after it. Any thread may use a store: Qt's connections belong to
// the thread that opened them, so each thread gets its own, removed when that thread ends.
class RecordStore
{
public:
    // Opens the file (made when missing), and takes over the line files "hashes" and
    // "partials" that earlier versions kept beside it.
    explicit RecordStore(const QString &fileName);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    static QString fileName() { return QStringLiteral("records.db"); }
    // With the files SQLite keeps beside it while it writes.
    static QStringList fileNames();
    // The store in the current folder (the working folder), opened at its first use and kept
    // until the program ends.
    static RecordStore &shared();
    // Lets go of the calling thread's connections at once. A thread that others wait for calls it
    // as its last act, so that nothing of it still runs in Qt SQL when they go on.
    static void releaseThread();

    QString path() const { return filePath; }
    bool isOpen() const { return ready; }

    // A statement on this thread's connection, prepared once per thread and read forward only,
    // so that a long result is never held whole. A query read from must be finish()ed: until
    // then it holds this connection's view of the file, and a write from it would fail.
    // The query lives as long as this thread's connection.
    QSqlQuery &query(const QString &statement) const;
    // Runs `work` as one transaction, committed when it returns true; writers take turns. Called
    // from within `work`, it joins the transaction that runs.
    bool write(const std::function<bool()> &work);

private:
    QString connectionName() const;
    QSqlDatabase database() const;
    bool makeTables();

    const QString filePath;
    const QString connectionPrefix;
    bool ready = false;
    std::recursive_mutex writing;
    int writeDepth = 0; // of the thread that holds `writing`
    mutable std::mutex naming;
    mutable QStringList connections;
};

#endif // RECORDSTORE_H
