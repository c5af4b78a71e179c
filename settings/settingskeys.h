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
QString defaultSaveDir();

// A handle on "config.ini" in the current working directory.
std::unique_ptr<QSettings> openConfig();

QString userName(const QSettings &settings);
QString saveDir(const QSettings &settings);

} // namespace SettingsKeys

#endif // SETTINGSKEYS_H
