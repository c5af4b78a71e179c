#include "settings/settingskeys.h"

#include <QCoreApplication>
#include <QSettings>

namespace SettingsKeys {

QString userNameKey()
{
    return QStringLiteral("userName");
}

QString saveDirKey()
{
    return QStringLiteral("saveDir");
}

QString defaultUserName()
{
    return QStringLiteral("ruvak");
}

QString defaultSaveDir()
{
    return QCoreApplication::applicationDirPath();
}

std::unique_ptr<QSettings> openConfig()
{
    return std::make_unique<QSettings>(QStringLiteral("config.ini"), QSettings::IniFormat);
}

QString userName(const QSettings &settings)
{
    return settings.value(userNameKey(), defaultUserName()).toString();
}

QString saveDir(const QSettings &settings)
{
    return settings.value(saveDirKey(), defaultSaveDir()).toString();
}

} // namespace SettingsKeys
