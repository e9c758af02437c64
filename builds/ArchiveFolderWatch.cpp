#include "builds/ArchiveFolderWatch.h"

#include "builds/Logging.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

// Listing time per step before the event loop gets its turn again.
constexpr qint64 kStepBudgetNs = 4'000'000;
// How often the ancestors are armed again when the path keeps changing while they are armed.
constexpr int kMaxAncestorRounds = 8;
// Entries read between two looks at the clock.
constexpr int kEntriesPerLook = 64;

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? u"/"_s : path.left(slash);
}

// A real folder, not a symbolic link to one.
// Why inotify refused a folder: its permissions, or else the per-user limit of watches.
QString reasonFor(const QString &directory)
{
    if (DIR *stream = ::opendir(QFile::encodeName(directory).constData())) {
        ::closedir(stream);
        return u"系统的文件监视数已用完"_s;
    }
    return u"文件夹无法读取"_s;
}

bool isPlainDirectory(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

ArchiveFolderWatch::ArchiveFolderWatch(const QString &folder, std::chrono::milliseconds latency, QObject *parent)
    : ArchiveFolderWatch(folder, Options { latency, 1, 8192, {} }, parent)
{ }

ArchiveFolderWatch::ArchiveFolderWatch(const QString &folder, Options options, QObject *parent)
    : QObject(parent)
    , m_folder(QDir::cleanPath(QDir(folder).absolutePath()))
    , m_options(std::move(options))
{
    m_latencyTimer.setSingleShot(true);
    m_latencyTimer.setInterval(m_options.latency);
    connect(&m_latencyTimer, &QTimer::timeout, this, &ArchiveFolderWatch::latencyPassed);
    m_armTimer.setSingleShot(true);
    m_armTimer.setInterval(0);
    connect(&m_armTimer, &QTimer::timeout, this, &ArchiveFolderWatch::armStep);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &ArchiveFolderWatch::directoryChanged);
}

// A folder being listed: its open stream and the subfolders found so far.
struct ArchiveFolderWatch::Listing
{
    QString directory;
    DIR *stream = nullptr;
    QSet<QString> present;
    ~Listing()
    {
        if (stream)
            ::closedir(stream);
    }
};

ArchiveFolderWatch::~ArchiveFolderWatch() = default;

bool ArchiveFolderWatch::isArming() const
{
    return !m_queue.isEmpty() || m_listing;
}

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
                reportWatchFailure(failed.first(), reasonFor(failed.first()));
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
    while (clock.nsecsElapsed() < kStepBudgetNs) {
        if (m_listing) {
            if (!continueListing(clock))
                break; // the rest of this folder in the next step
            endListing();
            continue;
        }
        if (m_queue.isEmpty())
            break;
        const QString directory = m_queue.takeFirst();
        m_queued.remove(directory);
        beginListing(directory);
    }
    if (isArming()) {
        m_armTimer.start();
        return;
    }
    if (!std::exchange(m_armed, true))
        emit armed();
    reportIfDue();
}

void ArchiveFolderWatch::beginListing(const QString &directory)
{
    // The folder itself may be a link to where the builds really are; nothing below it is followed.
    const bool usable = directory == m_folder ? QFileInfo(m_folder).isDir() : isPlainDirectory(directory);
    if (!usable) {
        removeTree(directory);
        return;
    }
    if (!m_tree.contains(directory)) {
        // Watched before it is listed: whatever appears after the listing is reported.
        if (!watch(directory))
            return;
        m_tree.insert(directory, {});
        if (directory != m_folder)
            m_tree[parentOf(directory)].insert(directory);
    }
    if (depthOf(directory) >= m_options.maxDepth)
        return;
    DIR *stream = ::opendir(QFile::encodeName(directory).constData());
    if (!stream)
        return; // watched, but what it holds cannot be read
    m_listing = std::make_unique<Listing>();
    m_listing->directory = directory;
    m_listing->stream = stream;
}

bool ArchiveFolderWatch::continueListing(const QElapsedTimer &clock)
{
    Listing &listing = *m_listing;
    for (;;) {
        for (int i = 0; i < kEntriesPerLook; ++i) {
            const dirent *entry = ::readdir(listing.stream);
            if (!entry)
                return true;
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            bool folder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat info;
                folder = ::fstatat(::dirfd(listing.stream), name, &info, AT_SYMLINK_NOFOLLOW) == 0
                    && S_ISDIR(info.st_mode);
            }
            if (!folder)
                continue;
            const QString decoded = QFile::decodeName(name);
            if (m_options.skip && m_options.skip(decoded))
                continue;
            const QString child = listing.directory + u'/' + decoded;
            listing.present.insert(child);
            if (!m_tree.contains(child))
                enqueue(child);
        }
        if (clock.nsecsElapsed() >= kStepBudgetNs)
            return false;
    }
}

void ArchiveFolderWatch::endListing()
{
    const std::unique_ptr<Listing> listing = std::move(m_listing);
    const QSet<QString> known = m_tree.value(listing->directory);
    for (const QString &child : known) {
        if (!listing->present.contains(child))
            removeTree(child);
    }
}

bool ArchiveFolderWatch::watch(const QString &directory)
{
    if (m_tree.size() >= m_options.maxFolders) {
        reportWatchFailure(directory, u"要监视的文件夹超过 %1 个"_s.arg(m_options.maxFolders));
        return false;
    }
    if (!m_watcher.addPath(directory)) {
        reportWatchFailure(directory, reasonFor(directory));
        return false;
    }
    return true;
}

void ArchiveFolderWatch::reportWatchFailure(const QString &directory, const QString &reason)
{
    if (m_reportedWatchFailure)
        return;
    m_reportedWatchFailure = true;
    qCWarning(lcBuilds).noquote() << "Cannot watch" << directory
                                  << u"(%1); changes below it may go unseen"_s.arg(reason);
    emit watchFailed(directory, reason);
}

int ArchiveFolderWatch::depthOf(const QString &path) const
{
    return path == m_folder ? 0 : int(path.mid(m_folder.size()).count(u'/'));
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
    if (m_listing && removed.contains(m_listing->directory))
        m_listing.reset();
    // Folders that were deleted have left the watcher by themselves; removing them again is harmless.
    m_watcher.removePaths(removed);
}
