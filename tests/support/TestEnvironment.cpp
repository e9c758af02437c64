#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>

#include <cstdlib>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString &rootPath()
{
    static QString path;
    return path;
}

void removeRoot()
{
    if (!rootPath().isEmpty() && qEnvironmentVariableIsEmpty("QUILLO_KEEP_TEST_DIR"))
        QDir(rootPath()).removeRecursively();
}

void setPath(const char *name, const QString &path)
{
    QDir().mkpath(path);
    qputenv(name, QFile::encodeName(path));
}

} // namespace

void TestEnvironment::setUp()
{
    if (!rootPath().isEmpty())
        return;
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/quillo-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        qFatal("cannot create a temporary folder");
    rootPath() = QFile::decodeName(pattern);
    std::atexit(removeRoot);

    setPath("HOME", rootPath() + u"/home"_s);
    setPath("XDG_CONFIG_HOME", rootPath() + u"/home/.config"_s);
    setPath("XDG_CACHE_HOME", rootPath() + u"/home/.cache"_s);
    setPath("XDG_DATA_HOME", rootPath() + u"/home/.local/share"_s);
    setPath("XDG_RUNTIME_DIR", rootPath() + u"/runtime"_s);
    QFile::setPermissions(rootPath() + u"/runtime"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("QUILLO_SETTINGS_FILE", QFile::encodeName(rootPath() + u"/home/.config/quillo/preferences.json"_s));
    qputenv("QUILLO_WORK_DIR", QFile::encodeName(rootPath() + u"/work"_s));
    qputenv("QUILLO_RESOURCE_DIR", QUILLO_BUILD_RESOURCE_DIR);
    // Port 9 (discard) on loopback: connections are refused at once.
    qputenv("QUILLO_SERVICE_HOST", "127.0.0.1:9");
    qputenv("LC_ALL", "C.UTF-8");
    // Loopback exchanges must not depend on a proxy configured on the machine; a test that
    // wants one sets it itself.
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"})
        qunsetenv(name);
}

QString TestEnvironment::root()
{
    return rootPath();
}

QString TestEnvironment::sourceDir()
{
    return QStringLiteral(QUILLO_SOURCE_DIR);
}

QString TestEnvironment::buildDir()
{
    return QStringLiteral(QUILLO_BUILD_DIR);
}

QString TestEnvironment::binDir()
{
    return QStringLiteral(QUILLO_BUILD_BIN_DIR);
}

QString TestEnvironment::resourceDir()
{
    return QStringLiteral(QUILLO_BUILD_RESOURCE_DIR);
}

QString TestEnvironment::path(const QString &relative)
{
    const QString full = rootPath() + u'/' + relative;
    QDir().mkpath(QFileInfo(full).absolutePath());
    return full;
}
