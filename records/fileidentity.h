#ifndef FILEIDENTITY_H
#define FILEIDENTITY_H

#include <QByteArray>
#include <QString>

#ifdef Q_OS_UNIX
struct stat;
#endif

// What tells one state of a plain file from another without reading it: size, modification and
// change times in nanoseconds, inode and device. The change time is set by the system on every
// write and cannot be set back, so a file rewritten in place and given its old modification time
// again still differs.
class FileIdentity
{
public:
    FileIdentity() = default;
    FileIdentity(qint64 size, qint64 modified, qint64 changed, quint64 inode, quint64 device);
#ifdef Q_OS_UNIX
    // From what lstat(2) told of a path: a plain file's identity, an invalid one for the rest.
    static FileIdentity ofStatus(const struct stat &status);
#endif

    // Read in one step, without following a link; invalid for anything but a plain file.
    static FileIdentity of(const QString &path);

    bool isValid() const
    {
        return valid;
    }
    qint64 size() const
    {
        return bytes;
    }
    qint64 modified() const
    {
        return modifiedNs;
    }
    qint64 changed() const
    {
        return changedNs;
    }
    quint64 inode() const
    {
        return node;
    }
    quint64 device() const
    {
        return dev;
    }

    // A 64-bit tag of all the fields; never 0 for a valid identity, so that 0 can mean "unknown".
    quint64 version() const;
    // The tag as 16 lowercase hexadecimal digits, as a manifest carries it.
    QByteArray versionHex() const;

    bool operator==(const FileIdentity &other) const;
    bool operator!=(const FileIdentity &other) const
    {
        return !(*this == other);
    }

private:
    bool valid = false;
    qint64 bytes = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 node = 0;
    quint64 dev = 0;
};

#endif // FILEIDENTITY_H
