#ifndef SETTINGSKEYS_H
#define SETTINGSKEYS_H

#include <QString>
#include <QStringList>

#include <memory>

class QSettings;

// The user settings in "config.ini" and their defaults. Each reader keeps its own handle;
// Qt shares the values of all handles on one file within the process.
namespace SettingsKeys {

QString userNameKey();
QString saveDirKey();
QString lastReceiverKey();
QString nameClashKey();

// What a received top-level item does when the save folder has one of its name already.
enum class NameClash { Overwrite, KeepBoth, Skip };

// What this machine is called until the user picks a name, so that two fresh machines differ:
// defaultUserName(gecos, login, host) for the account that runs the program.
QString defaultUserName();
// The first of the full name (the first comma field of the account's GECOS entry), the login name
// and the host name that makes a valid name once cut to the rules; "ruvak" if none does.
QString defaultUserName(const QString &gecos, const QString &login, const QString &hostName);
// The user's Downloads folder once useDownloadsAsDefaultSaveDir() has been called, else
// defaultSaveDir(the program's folder).
QString defaultSaveDir();
// The program's folder, unless the user cannot write there (an installed program): then the
// user's Downloads folder.
QString defaultSaveDir(const QString &programFolder);

// Started in the per-user data folder (from the menu), the program's own folder is a system folder
// nobody can write to; received items then go to the user's Downloads folder by default.
void useDownloadsAsDefaultSaveDir();

// The file that keeps a second copy out of the working folder.
QString lockFileName();
// Every file the program keeps in its working folder: the settings, the work file "header", the
// lock, the records "records.db" with the files SQLite keeps beside it, this installation's
// identity "identity.key" and "identity.crt", and "stream", "send", "hashes" and "partials", which
// older versions wrote and may have left there (the last two are taken into the records at the
// next start). A received item must never replace one of them, as the save folder may be that
// very folder.
QStringList workingFolderFiles();

// Removes the work files "send" and "stream" that earlier versions left in the working folder,
// each as large as the last transfer. Nothing writes them any more.
void removeRetiredWorkFiles();

// A handle on "config.ini" in the current working directory, read and written as UTF-8.
std::unique_ptr<QSettings> openConfig();

QString userName(const QSettings &settings);
QString saveDir(const QSettings &settings);
// The address the last send went to; empty when none.
QString lastReceiver(const QSettings &settings);
// Overwrite unless set otherwise; an unknown stored value reads as the default too.
NameClash nameClash(const QSettings &settings);
void setNameClash(QSettings &settings, NameClash rule);

// True when received items can be stored in `dir`: a folder that can be written, or one that
// does not exist yet and can be made.
bool canSaveTo(const QString &dir);

// A name that can be announced: not blank, none of ":" (it separates the presence fields), CR, LF
// or NUL, and short, so that an announcement stays far below the 1 KiB a listener takes in.
constexpr int maxUserNameLength = 64;
bool isValidUserName(const QString &name);

} // namespace SettingsKeys

#endif // SETTINGSKEYS_H
