#include "app/startup.h"

#include "settings/settingskeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTranslator>

#include <memory>

namespace Startup {

QString userDataOption()
{
    return QStringLiteral("--user-data");
}

bool takeUserDataOption(int &argc, char **argv)
{
    const QByteArray option = userDataOption().toLatin1();
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (option == argv[i])
            found = true;
        else
            argv[kept++] = argv[i];
    }
    // argv[argc] is a null pointer by the C rules; keep it so.
    for (int i = kept; i < argc; ++i)
        argv[i] = nullptr;
    argc = kept;
    return found;
}

QString userDataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/NuboTransmission");
}

bool enterUserDataFolder()
{
    const QString folder = userDataFolder();
    if (!QDir().mkpath(folder) || !QDir::setCurrent(folder))
        return false;
    SettingsKeys::useDownloadsAsDefaultSaveDir();
    return true;
}

bool makeDefaultSaveDir()
{
    return QDir().mkpath(SettingsKeys::defaultSaveDir());
}

bool installQtTranslations(QCoreApplication &app)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    auto translator = std::make_unique<QTranslator>();
    // The UI is Chinese whatever the system language is, so Qt's texts must be Chinese too.
    if (!translator->load(QStringLiteral("qt_zh_CN"), folder) &&
        !translator->load(QStringLiteral("qtbase_zh_CN"), folder))
        return false;
    translator->setParent(&app);
    return app.installTranslator(translator.release());
}

} // namespace Startup
