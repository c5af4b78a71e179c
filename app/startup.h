#ifndef STARTUP_H
#define STARTUP_H

#include <QString>

class QCoreApplication;

// What the entry point settles before the window exists: where the program keeps config.ini and
// its work files, and Qt's own texts in Chinese.
namespace Startup {

// The menu entry starts the program with this option. The desktop starts programs in the home
// folder, where the settings and work files do not belong; with the option they go to
// userDataFolder() instead. Started from a terminal without it, the working folder is used.
QString userDataOption();

// Removes the option from the arguments before QApplication sees them; says whether it was there.
bool takeUserDataOption(int &argc, char **argv);

// $XDG_DATA_HOME/NuboTransmission (by default ~/.local/share/NuboTransmission).
QString userDataFolder();

// Creates userDataFolder() if needed, makes it the working folder and lets received items go to
// the user's Downloads folder by default. False if the folder cannot be made or entered.
bool enterUserDataFolder();

// The receive view refuses a save folder that does not exist, and a fresh account may have no
// Downloads folder yet: makes the default one.
bool makeDefaultSaveDir();

// Qt's own dialogs, buttons and context menus in Chinese, from the translations Qt ships
// (Debian: qttranslations5-l10n). False if they are not installed.
bool installQtTranslations(QCoreApplication &app);

} // namespace Startup

#endif // STARTUP_H
