#pragma once

#include <QDir>
#include <QFile>

#include <unistd.h>

// The inotify watches this process holds, as the kernel counts them: one "inotify wd:" line per
// watch in /proc/self/fdinfo of each inotify descriptor. These are what the per-user limit
// (fs.inotify.max_user_watches) is spent on.
inline int inotifyWatchesHeld()
{
    int watches = 0;
    const QStringList descriptors
        = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : descriptors) {
        char target[64] = {};
        const QByteArray link = QFile::encodeName(QStringLiteral("/proc/self/fd/") + fd);
        if (::readlink(link.constData(), target, sizeof target - 1) <= 0 || qstrcmp(target, "anon_inode:inotify") != 0)
            continue;
        QFile info(QStringLiteral("/proc/self/fdinfo/") + fd);
        if (!info.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : info.readAll().split('\n')) {
            if (line.startsWith("inotify wd:"))
                ++watches;
        }
    }
    return watches;
}
