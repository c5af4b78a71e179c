#ifndef SETTINGSKEYS_H
#define SETTINGSKEYS_H

#include <QString>

#include <memory>

class QSettings;

// The two user settings in "config.ini" and their defaults. Each reader keeps its own handle;
// Qt shares the values of all handles on one file within the process.
namespace SettingsKeys {

QString userNameKey();
QString saveDirKey();

QString defaultUserName();
// The program's own folder, or the user's Downloads folder once useDownloadsAsDefaultSaveDir()
// has been called.
QString defaultSaveDir();

// Started in the per-user data folder (from the menu), the program's own folder is a system folder
// nobody can write to; received items then go to the user's Downloads folder by default.
void useDownloadsAsDefaultSaveDir();

// A handle on "config.ini" in the current working directory.
std::unique_ptr<QSettings> openConfig();

QString userName(const QSettings &settings);
QString saveDir(const QSettings &settings);

} // namespace SettingsKeys

#endif // SETTINGSKEYS_H
