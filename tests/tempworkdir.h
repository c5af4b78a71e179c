#ifndef TEMPWORKDIR_H
#define TEMPWORKDIR_H

#include <QDir>
#include <QTemporaryDir>

// Moves the process into a fresh temporary folder for as long as it lives, so that "config.ini"
// and the work files a test makes never touch a real one.
class TempWorkDir
{
public:
    TempWorkDir() : previous(QDir::currentPath()) { QDir::setCurrent(dir.path()); }
    ~TempWorkDir() { QDir::setCurrent(previous); }
    TempWorkDir(const TempWorkDir &) = delete;
    TempWorkDir &operator=(const TempWorkDir &) = delete;

    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    bool isValid() const { return dir.isValid(); }

private:
    QTemporaryDir dir;
    QString previous;
};

#endif // TEMPWORKDIR_H
