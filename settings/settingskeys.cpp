#include "settings/settingskeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>

#include <vector>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace SettingsKeys {

namespace {
bool downloadsByDefault = false;
}

QString userNameKey()
{
    return QStringLiteral("userName");
}

QString saveDirKey()
{
    return QStringLiteral("saveDir");
}

QString lastReceiverKey()
{
    return QStringLiteral("lastReceiver");
}

QString nameClashKey()
{
    return QStringLiteral("nameClash");
}

QString defaultUserName()
{
    QString gecos;
    QString login;
#ifdef Q_OS_UNIX
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *account = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &account) == 0 && account) {
        if (account->pw_gecos)
            gecos = QString::fromLocal8Bit(account->pw_gecos);
        login = QString::fromLocal8Bit(account->pw_name);
    }
#endif
    if (login.isEmpty())
        login = qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME"));
    return defaultUserName(gecos, login, QSysInfo::machineHostName());
}

namespace {
// The name with what the rules forbid taken out and cut to the longest allowed, or empty.
QString fitUserName(QString name)
{
    for (const QChar c : {QChar(':'), QChar('\r'), QChar('\n'), QChar(0)})
        name.remove(c);
    name = name.trimmed();
    if (name.size() > maxUserNameLength) {
        const int cut = name.at(maxUserNameLength - 1).isHighSurrogate() ? maxUserNameLength - 1
                                                                         : maxUserNameLength;
        name = name.left(cut).trimmed();
    }
    return isValidUserName(name) ? name : QString();
}
} // namespace

QString defaultUserName(const QString &gecos, const QString &login, const QString &hostName)
{
    for (const QString &candidate : {gecos.section(QLatin1Char(','), 0, 0), login, hostName}) {
        const QString name = fitUserName(candidate);
        if (!name.isEmpty())
            return name;
    }
    return QStringLiteral("ruvak");
}

namespace {
QString downloadsFolder()
{
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return downloads.isEmpty() ? QDir::homePath() : downloads;
}
} // namespace

QString defaultSaveDir()
{
    return downloadsByDefault ? downloadsFolder()
                              : defaultSaveDir(QCoreApplication::applicationDirPath());
}

QString defaultSaveDir(const QString &programFolder)
{
    const QFileInfo folder(programFolder);
    return folder.isDir() && folder.isWritable() ? programFolder : downloadsFolder();
}

void useDownloadsAsDefaultSaveDir()
{
    downloadsByDefault = true;
}

QString lockFileName()
{
    return QStringLiteral("nubo.lock");
}

QStringList workingFolderFiles()
{
    return {QStringLiteral("config.ini"),
            QStringLiteral("header"),
            QStringLiteral("stream"),
            QStringLiteral("send"),
            lockFileName(),
            QStringLiteral("records.db"),
            QStringLiteral("records.db-wal"),
            QStringLiteral("records.db-shm"),
            QStringLiteral("records.db-journal"),
            QStringLiteral("identity.key"),
            QStringLiteral("identity.crt"),
            QStringLiteral("hashes"),
            QStringLiteral("partials")};
}

void removeRetiredWorkFiles()
{
    for (const char *name : {"send", "stream"}) {
        // Only a plain file of that name: a folder or a link the user made stays.
        const QFileInfo info{QString::fromLatin1(name)};
        if (info.isFile() && !info.isSymLink())
            QFile::remove(info.filePath());
    }
}

std::unique_ptr<QSettings> openConfig()
{
    auto settings = std::make_unique<QSettings>(QStringLiteral("config.ini"), QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 reads INI text as Latin-1 otherwise, so a file edited by hand in UTF-8 would show
    // mojibake. The "\x" escapes Qt 5 writes without a codec are still read.
    settings->setIniCodec("UTF-8");
#endif
    return settings;
}

QString userName(const QSettings &settings)
{
    return settings.value(userNameKey(), defaultUserName()).toString();
}

QString saveDir(const QSettings &settings)
{
    return settings.value(saveDirKey(), defaultSaveDir()).toString();
}

QString lastReceiver(const QSettings &settings)
{
    return settings.value(lastReceiverKey()).toString();
}

namespace {
const char *const clashValues[] = {"overwrite", "keepBoth", "skip"};
}

NameClash nameClash(const QSettings &settings)
{
    const QString value = settings.value(nameClashKey()).toString();
    for (int i = 0; i < 3; ++i) {
        if (value == QLatin1String(clashValues[i]))
            return NameClash(i);
    }
    return NameClash::Overwrite;
}

void setNameClash(QSettings &settings, NameClash rule)
{
    settings.setValue(nameClashKey(), QLatin1String(clashValues[int(rule)]));
}

bool canSaveTo(const QString &dir)
{
    if (dir.isEmpty())
        return false;
    // A folder that is not there yet is made by the receiver, so its nearest existing parent
    // decides.
    QString path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    while (!QFileInfo::exists(path)) {
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return false;
        path = parent;
    }
    const QFileInfo existing(path);
    return existing.isDir() && existing.isWritable();
}

bool isValidUserName(const QString &name)
{
    if (name.trimmed().isEmpty() || name.size() > maxUserNameLength)
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char(':') || c == QLatin1Char('\r') || c == QLatin1Char('\n') ||
            c == QChar(0))
            return false;
    }
    return true;
}

} // namespace SettingsKeys
