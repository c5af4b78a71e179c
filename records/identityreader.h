#ifndef IDENTITYREADER_H
#define IDENTITYREADER_H

#include "records/fileidentity.h"

#include <QString>

// Reads what is at many paths in a row, most of them in the folder of the one before: the folder
// is opened once and each name looked up in it, which spares the kernel walking the whole path
// every time. What it says of a path is what lstat(2) and FileIdentity::of say, also of a folder
// replaced meanwhile. A copy starts afresh.
class IdentityReader
{
public:
    IdentityReader() = default;
    IdentityReader(const IdentityReader &) {}
    IdentityReader &operator=(const IdentityReader &other);
    ~IdentityReader();

    FileIdentity of(const QString &path);
#ifdef Q_OS_UNIX
    // lstat(2) of `path`: false when there is nothing there or it cannot be asked.
    bool status(const QString &path, struct stat *status);
#endif

private:
    void close();

    QString folder;
    int descriptor = -1;
};

#endif // IDENTITYREADER_H
