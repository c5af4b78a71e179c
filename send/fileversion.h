#ifndef FILEVERSION_H
#define FILEVERSION_H

#include <QByteArray>
#include <QString>

// The manifest's tag of a source file's identity: 16 lowercase hex digits made of its size,
// modification and change times, inode and device, so that any write to the file changes it.
class FileVersion
{
public:
    // Empty when the file cannot be looked at.
    static QByteArray of(const QString &path);
};

#endif // FILEVERSION_H
