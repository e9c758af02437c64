#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Whether a process still runs, by its id: it exists and is not a zombie (an orphan that the
// machine's first process has not reaped yet has ended all the same).
namespace ProcessCheck {

inline bool isRunning(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (comm) state ...": the state follows the last ")".
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    const char state = close >= 0 && close + 2 < line.size() ? line.at(close + 2) : 'X';
    return state != 'Z' && state != 'X';
}

// A process id written to a file (by a test's tool script), 0 while there is none.
inline qint64 pidFromFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

} // namespace ProcessCheck
