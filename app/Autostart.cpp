#include "app/Autostart.h"

#include "app/Config.h"
#include "app/Logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString autostartFolder()
{
    return Config::userConfigDir() + u"/autostart"_s;
}

// Why a file operation failed, in the user's words for the common cases.
QString reason(int error)
{
    switch (error) {
    case EROFS:
        return u"只读文件系统"_s;
    case EACCES:
    case EPERM:
        return u"没有写入权限"_s;
    case ENOSPC:
    case EDQUOT:
        return u"磁盘已满"_s;
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

bool hasControlCharacters(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

// A desktop entry's string value: a backslash is written as two (newlines and other control
// characters never get this far).
QString escapeString(QString text)
{
    return text.replace(u'\\', u"\\\\"_s);
}

// The value of key in the entry's [Desktop Entry] group, empty when absent.
QByteArray entryValue(const QByteArray &text, QByteArrayView key)
{
    bool inEntry = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inEntry || line.startsWith('#') || equals < 0)
            continue;
        if (line.left(equals).trimmed() == key)
            return line.mid(equals + 1).trimmed();
    }
    return {};
}

// The autostart folder, created (0700) inside an existing configuration folder when missing.
bool ensureFolder(QString *message)
{
    const QString config = Config::userConfigDir();
    if (!QFileInfo(config).isDir()) {
        *message = u"无法设置登录时启动：配置文件夹 %1 不存在。"_s.arg(config);
        return false;
    }
    const QString folder = autostartFolder();
    if (QFileInfo(folder).isDir())
        return true;
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0) {
        *message = u"无法设置登录时启动：无法创建文件夹 %1（%2）。"_s.arg(folder, reason(errno));
        return false;
    }
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n == 0 ? EIO : errno;
            return false;
        }
        done += n;
    }
    return true;
}

// Writes a new file beside the entry and renames it over the entry's name: the rename replaces a
// symbolic link there instead of writing to where it points.
bool replaceEntry(const QString &path, const QByteArray &text, QString *message)
{
    QByteArray temporary = QFile::encodeName(QFileInfo(path).absolutePath() + u"/.quillo.desktop.XXXXXX"_s);
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *message = u"无法设置登录时启动：文件夹 %1 无法写入（%2）。"_s.arg(autostartFolder(), reason(errno));
        return false;
    }
    int error = 0;
    if (::fchmod(fd, 0644) != 0 || !writeAll(fd, text) || ::fsync(fd) != 0)
        error = errno ? errno : EIO;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0)
        error = errno;
    if (error == 0)
        return true;
    ::unlink(temporary.constData());
    *message = u"无法设置登录时启动：无法写入 %1（%2）。"_s.arg(path, reason(error));
    return false;
}

} // namespace

QString Autostart::entryPath()
{
    return autostartFolder() + u"/quillo.desktop"_s;
}

bool Autostart::isEnabled()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.read(256 * 1024);
    return entryValue(text, "Hidden") != "true" && entryValue(text, "X-GNOME-Autostart-enabled") != "false";
}

bool Autostart::enable(const QString &program, QString *message)
{
    if (!QDir::isAbsolutePath(program) || hasControlCharacters(program)) {
        *message = u"无法设置登录时启动：程序路径“%1”无效。"_s.arg(program);
        return false;
    }
    if (!ensureFolder(message) || !replaceEntry(entryPath(), entryText(program), message)) {
        qCWarning(lcApp) << "Could not write the autostart entry:" << *message;
        return false;
    }
    qCInfo(lcApp) << "Wrote the autostart entry" << entryPath();
    return true;
}

bool Autostart::disable(QString *message)
{
    const QByteArray path = QFile::encodeName(entryPath());
    if (::unlink(path.constData()) == 0 || errno == ENOENT || errno == ENOTDIR) {
        qCInfo(lcApp) << "No autostart entry at" << entryPath();
        return true;
    }
    *message = u"无法取消登录时启动：无法删除 %1（%2）。"_s.arg(entryPath(), reason(errno));
    qCWarning(lcApp) << "Could not remove the autostart entry:" << *message;
    return false;
}

QByteArray Autostart::entryText(const QString &program)
{
    const QString exec = execArgument(program) + u" --hidden"_s;
    return u"[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quillo\n"
           "Comment=Publish iOS and Android test builds to Quillo\n"
           "Comment[zh_CN]=把 iOS 和 Android 测试包发布到 Quillo\n"
           "Exec=%1\n"
           "TryExec=%2\n"
           "Icon=quillo\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"_s.arg(escapeString(exec), escapeString(program))
               .toUtf8();
}

QString Autostart::execArgument(const QString &argument)
{
    // Characters that make an argument need quotes; inside them ", `, $ and \ take a backslash.
    static const QString reserved = u" \t\n\"'\\><~|&;$*?#`()"_s;
    const QString text = QString(argument).replace(u'%', u"%%"_s);
    bool quoted = text.isEmpty();
    for (const QChar c : text)
        quoted = quoted || reserved.contains(c);
    if (!quoted)
        return text;
    QString result = u"\""_s;
    for (const QChar c : text) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            result += u'\\';
        result += c;
    }
    return result + u'"';
}

QString Autostart::desktopProgram()
{
    const QString folder = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                        : QFileInfo(u"/proc/self/exe"_s).canonicalPath();
    return folder + u"/quillo-desktop"_s;
}
