#include "builds/ArchiveFolderWatch.h"

#include "builds/Logging.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// Listing time per step before the event loop gets its turn again.
constexpr qint64 kStepBudgetNs = 4'000'000;
// How often the ancestors are armed again when the path keeps changing while they are armed.
constexpr int kMaxAncestorRounds = 8;

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? u"/"_s : path.left(slash);
}

// A real folder, not a symbolic link to one.
bool isPlainDirectory(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

ArchiveFolderWatch::ArchiveFolderWatch(const QString &folder, std::chrono::milliseconds latency, QObject *parent)
    : QObject(parent)
    , m_folder(QDir::cleanPath(QDir(folder).absolutePath()))
    , m_latency(latency)
{
    m_latencyTimer.setSingleShot(true);
    m_latencyTimer.setInterval(latency);
    connect(&m_latencyTimer, &QTimer::timeout, this, &ArchiveFolderWatch::latencyPassed);
    m_armTimer.setSingleShot(true);
    m_armTimer.setInterval(0);
    connect(&m_armTimer, &QTimer::timeout, this, &ArchiveFolderWatch::armStep);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &ArchiveFolderWatch::directoryChanged);
}

ArchiveFolderWatch::~ArchiveFolderWatch() = default;

void ArchiveFolderWatch::start()
{
    if (m_started)
        return;
    m_started = true;
    armAncestors();
    if (QFileInfo(m_folder).isDir())
        enqueue(m_folder);
}

QList<ArchiveFolderWatch::PathPart> ArchiveFolderWatch::pathState() const
{
    QList<PathPart> parts;
    QString path;
    for (const QString &name : m_folder.split(u'/', Qt::SkipEmptyParts)) {
        path += u'/' + name;
        PathPart part;
        part.path = path;
        struct stat info;
        if (::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
            part.exists = true;
            part.device = quint64(info.st_dev);
            part.inode = quint64(info.st_ino);
        }
        parts.append(part);
    }
    return parts;
}

void ArchiveFolderWatch::armAncestors()
{
    // A part that appears while the ancestors are armed would otherwise go unseen: arm until the
    // path stays the same across a round.
    for (int round = 0; round < kMaxAncestorRounds; ++round) {
        m_pathState = pathState();
        QStringList wanted;
        for (const PathPart &part : std::as_const(m_pathState)) {
            if (part.path != m_folder && part.exists)
                wanted.append(part.path);
        }
        QStringList gone;
        for (const QString &path : std::as_const(m_ancestors)) {
            if (!wanted.contains(path))
                gone.append(path);
        }
        if (!gone.isEmpty())
            m_watcher.removePaths(gone);
        QStringList added;
        for (const QString &path : std::as_const(wanted)) {
            if (!m_ancestors.contains(path))
                added.append(path);
        }
        if (!added.isEmpty()) {
            const QStringList failed = m_watcher.addPaths(added);
            if (!failed.isEmpty())
                qCWarning(lcBuilds) << "Cannot watch" << failed;
        }
        m_ancestors = wanted;
        if (pathState() == m_pathState)
            return;
    }
}

void ArchiveFolderWatch::directoryChanged(const QString &path)
{
    if (isInTree(path)) {
        enqueue(path);
        noteChange();
        return;
    }
    // An ancestor: only a change of the path to the folder counts.
    if (pathState() == m_pathState)
        return;
    armAncestors();
    // The folder may be another one now (created, replaced, moved away): list it anew.
    removeTree(m_folder);
    if (QFileInfo(m_folder).isDir())
        enqueue(m_folder);
    noteChange();
}

bool ArchiveFolderWatch::isInTree(const QString &path) const
{
    return path == m_folder
        || (path.startsWith(m_folder) && path.size() > m_folder.size() && path[m_folder.size()] == u'/');
}

void ArchiveFolderWatch::noteChange()
{
    if (m_batchDue || m_latencyTimer.isActive())
        return;
    m_latencyTimer.start();
}

void ArchiveFolderWatch::latencyPassed()
{
    m_batchDue = true;
    reportIfDue();
}

void ArchiveFolderWatch::reportIfDue()
{
    if (!m_batchDue || !m_queue.isEmpty())
        return;
    m_batchDue = false;
    ++m_batchCount;
    emit changed();
}

void ArchiveFolderWatch::enqueue(const QString &directory)
{
    if (m_queued.contains(directory))
        return;
    m_queued.insert(directory);
    m_queue.append(directory);
    if (!m_armTimer.isActive())
        m_armTimer.start();
}

void ArchiveFolderWatch::armStep()
{
    QElapsedTimer clock;
    clock.start();
    while (!m_queue.isEmpty() && clock.nsecsElapsed() < kStepBudgetNs) {
        const QString directory = m_queue.takeFirst();
        m_queued.remove(directory);
        // The folder itself may be a link to where the archives really are; nothing below it is
        // followed.
        const bool usable = directory == m_folder ? QFileInfo(m_folder).isDir() : isPlainDirectory(directory);
        if (!usable) {
            removeTree(directory);
            continue;
        }
        if (!m_tree.contains(directory)) {
            // Watched before it is listed: whatever appears after the listing is reported.
            if (!m_watcher.addPath(directory) && !m_reportedWatchFailure) {
                m_reportedWatchFailure = true;
                qCWarning(lcBuilds) << "Cannot watch" << directory
                                    << "(inotify watches exhausted?); changes below it may go unseen";
            }
            m_tree.insert(directory, {});
            if (directory != m_folder)
                m_tree[parentOf(directory)].insert(directory);
        }
        QSet<QString> present;
        const QStringList names = QDir(directory).entryList(
            QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDir::Unsorted);
        for (const QString &name : names) {
            const QString child = directory + u'/' + name;
            present.insert(child);
            if (!m_tree.contains(child))
                enqueue(child);
        }
        const QSet<QString> known = m_tree.value(directory);
        for (const QString &child : known) {
            if (!present.contains(child))
                removeTree(child);
        }
    }
    if (!m_queue.isEmpty())
        m_armTimer.start();
    else
        reportIfDue();
}

void ArchiveFolderWatch::removeTree(const QString &directory)
{
    if (!m_tree.contains(directory))
        return;
    QStringList removed;
    QStringList pending { directory };
    while (!pending.isEmpty()) {
        const QString current = pending.takeLast();
        const auto found = m_tree.constFind(current);
        if (found == m_tree.cend())
            continue;
        for (const QString &child : *found)
            pending.append(child);
        removed.append(current);
        m_tree.erase(found);
    }
    if (directory != m_folder) {
        const auto parent = m_tree.find(parentOf(directory));
        if (parent != m_tree.end())
            parent->remove(directory);
    }
    // Folders that were deleted have left the watcher by themselves; removing them again is harmless.
    m_watcher.removePaths(removed);
}
