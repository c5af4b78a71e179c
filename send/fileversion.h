#ifndef FILEVERSION_H
#define FILEVERSION_H

#include <QString>

// The manifest's tag of a source file's identity, made of its size, modification and change
// times, inode and device, so that any write to the file changes it.
class FileVersion
{
public:
    // 0 when the file cannot be looked at.
    static quint64 of(const QString &path);
};

#endif // FILEVERSION_H
