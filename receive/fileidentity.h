#ifndef FILEIDENTITY_H
#define FILEIDENTITY_H

#include <QString>

// What tells one state of a plain file from another without reading it: any write changes its
// size, its times or both, and a file put in its place has another inode.
struct FileIdentity
{
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds since the epoch
    qint64 changed = 0;
    quint64 inode = 0;
    quint64 device = 0;

    // False for anything but a plain file; a link is never followed.
    static bool of(const QString &path, FileIdentity *identity);
    // All but the size in one number, for the hash cache's "modified" key: a file rewritten with
    // its old time set back still differs in its change time.
    qint64 key() const;

    bool operator==(const FileIdentity &other) const
    {
        return size == other.size && modified == other.modified && changed == other.changed &&
               inode == other.inode && device == other.device;
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

#endif // FILEIDENTITY_H
