#include "app/WorkFolder.h"

#include "app/Config.h"
#include "app/Logging.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

QString WorkFolder::path()
{
    return QDir::cleanPath(QDir(Config::workDirPath()).absolutePath());
}

QString WorkFolder::ensure(QString *error)
{
    const QString folder = path();
    auto fail = [&](const QString &reason) {
        qCWarning(lcApp).noquote() << "Work folder" << folder << "refused:" << reason;
        if (error)
            *error = reason;
        return QString();
    };

    const QFileInfo parentInfo(folder);
    QDir().mkpath(parentInfo.absolutePath());
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));

    struct stat st {};
    if (::lstat(native.constData(), &st) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISLNK(st.st_mode))
        return fail(u"it is a symbolic link"_s);
    if (!S_ISDIR(st.st_mode))
        return fail(u"it is not a folder"_s);
    if (st.st_uid != ::getuid())
        return fail(u"it belongs to another user"_s);
    if ((st.st_mode & 07777) != 0700 && ::chmod(native.constData(), 0700) != 0)
        return fail(u"its permissions cannot be set to 0700"_s);
    return folder;
}

bool WorkFolder::contains(const QString &candidate)
{
    const QString root = path();
    const QString cleaned = QDir::cleanPath(QDir(root).absoluteFilePath(candidate));
    return cleaned.startsWith(root + u'/');
}
