#include "app/Config.h"

#include "QuilloBuildConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

QString environment(const char *name)
{
    return qEnvironmentVariable(name).trimmed();
}

// Splits the configured service base into scheme and "host[:port]".
std::pair<QString, QString> serviceBase()
{
    QString base = environment("QUILLO_SERVICE_HOST");
    if (base.isEmpty())
        base = QStringLiteral(QUILLO_DEFAULT_SERVICE_HOST);
    QString scheme = u"http"_s;
    if (base.startsWith(u"https://"_s, Qt::CaseInsensitive)) {
        scheme = u"https"_s;
        base = base.mid(8);
    } else if (base.startsWith(u"http://"_s, Qt::CaseInsensitive)) {
        base = base.mid(7);
    }
    const qsizetype slash = base.indexOf(u'/');
    if (slash >= 0)
        base.truncate(slash);
    return {scheme, base};
}

QString programDir()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(u"/proc/self/exe"_s).canonicalPath();
}

} // namespace

QString Config::serviceHost()
{
    return serviceBase().second;
}

QString Config::serviceScheme()
{
    return serviceBase().first;
}

QString Config::apiBase()
{
    const auto [scheme, host] = serviceBase();
    return scheme + u"://"_s + host + u"/apiv1"_s;
}

QString Config::serviceUrl(const QString &path)
{
    const auto [scheme, host] = serviceBase();
    QString tail = path;
    while (tail.startsWith(u'/'))
        tail.remove(0, 1);
    return scheme + u"://"_s + host + u'/' + tail;
}

QString Config::resourceDir()
{
    const QString configured = environment("QUILLO_RESOURCE_DIR");
    if (!configured.isEmpty())
        return QDir::cleanPath(configured);
    return QDir::cleanPath(programDir() + u'/' + QStringLiteral(QUILLO_RESOURCE_RELATIVE_DIR));
}

QString Config::resourcePath(const QString &name)
{
    return resourceDir() + u'/' + name;
}

QString Config::xcodebuildPath()
{
    const QString configured = environment("QUILLO_XCODEBUILD");
    return configured.isEmpty() ? u"/usr/bin/xcodebuild"_s : configured;
}

QString Config::settingsFile()
{
    const QString configured = environment("QUILLO_SETTINGS_FILE");
    if (!configured.isEmpty())
        return QDir::cleanPath(configured);
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + u"/quillo/preferences.json"_s;
}

QString Config::workDirPath()
{
    const QString configured = environment("QUILLO_WORK_DIR");
    if (!configured.isEmpty())
        return QDir::cleanPath(configured);
    return userCacheDir() + u"/quillo/work"_s;
}

QString Config::archivesDir()
{
    return QDir::homePath() + u"/Library/Developer/Xcode/Archives"_s;
}

QString Config::userCacheDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
}

QString Config::userConfigDir()
{
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!configured.isEmpty() && QDir::isAbsolutePath(configured))
        return QDir::cleanPath(configured);
    return QDir::homePath() + u"/.config"_s;
}

QString Config::applicationVersion()
{
    return QStringLiteral(QUILLO_VERSION);
}
