#pragma once

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

// Watches one folder tree, to a bounded depth, for changes: anything created, removed, renamed or
// changed in its attributes in the watched folders, and changes of the folder itself or of the
// path leading to it (the folder created later, removed, renamed, or a parent of it replaced).
// Events are coalesced: the first event of a batch starts the latency period, and when it has
// passed, changed() is emitted once for everything seen meanwhile, so batches come at most once
// per latency period. What changed is not reported.
//
// QFileSystemWatcher watches single existing folders only, so the watch keeps a watch on every
// folder of the tree down to maxDepth (the folder itself is depth 0; symbolic links are not
// followed; folders the skip rule names are left out) and on every existing ancestor of the
// folder, and re-arms after each change: folders that appeared get watched, folders that went
// away are dropped. An ancestor's event counts only when the path to the folder changed (one of
// its parts appeared, went away or is now another folder), not for its unrelated entries.
// Contents written into an existing file in place are not seen; new, removed and renamed
// entries are.
//
// The archives folder is watched with depth 1, its date folders: a new archive appears there, and
// an archive is a bundle whose inside is not watched (it would cost inotify watches, which every
// program of the user shares, by the thousand). At most maxFolders folders are watched; when a
// folder cannot be watched (that limit, or the system's), watchFailed() is emitted once and the
// watch goes on with the folders it has.
//
// Everything runs on the thread that owns the watch, in short steps (folders are listed entry by
// entry, a few milliseconds at a time), so a large tree, a huge folder or a burst of events never
// holds up its event loop. A batch is reported once the tree is armed again, so nothing that
// changes after changed() has been emitted goes unseen.
class ArchiveFolderWatch final : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        std::chrono::milliseconds latency { 1000 };
        int maxDepth = 1;
        int maxFolders = 8192;
        // Names of folders below the root that are not watched (nor anything below them).
        std::function<bool(const QString &name)> skip;
    };

    explicit ArchiveFolderWatch(const QString &folder,
        std::chrono::milliseconds latency = std::chrono::milliseconds(1000), QObject *parent = nullptr);
    ArchiveFolderWatch(const QString &folder, Options options, QObject *parent = nullptr);
    ~ArchiveFolderWatch() override;

    // Starts watching from now on; earlier changes are not reported. The watch runs until it is
    // destroyed.
    void start();

    QString folder() const { return m_folder; }
    std::chrono::milliseconds latency() const { return m_options.latency; }
    int maxDepth() const { return m_options.maxDepth; }
    // The folders watched now: ancestors and the tree.
    QStringList watchedDirectories() const { return m_watcher.directories(); }
    // True while folders are still being listed after a change.
    bool isArming() const;
    // Number of batches reported so far.
    int batchCount() const { return m_batchCount; }
    // A folder could not be watched (reported once by watchFailed).
    bool hasWatchFailure() const { return m_reportedWatchFailure; }

signals:
    void changed();
    // The tree has been listed and watched for the first time since start().
    void armed();
    // The first folder that could not be watched: changes there go unseen. The reason is for the
    // user ("系统的文件监视数已用完", "文件夹无法读取", or too many folders).
    void watchFailed(const QString &directory, const QString &reason);

private:
    struct PathPart
    {
        QString path;
        bool exists = false;
        quint64 device = 0;
        quint64 inode = 0;
        bool operator==(const PathPart &other) const = default;
    };
    struct Listing;

    void directoryChanged(const QString &path);
    void noteChange();
    void latencyPassed();
    void armAncestors();
    void enqueue(const QString &directory);
    void armStep();
    void beginListing(const QString &directory);
    bool continueListing(const QElapsedTimer &clock);
    void endListing();
    bool watch(const QString &directory);
    void reportWatchFailure(const QString &directory, const QString &reason);
    void removeTree(const QString &directory);
    void reportIfDue();
    QList<PathPart> pathState() const;
    bool isInTree(const QString &path) const;
    int depthOf(const QString &path) const;

    QString m_folder;
    Options m_options;
    QFileSystemWatcher m_watcher;
    QTimer m_latencyTimer;
    QTimer m_armTimer;
    // Watched folders of the tree, each with its watched subfolders.
    QHash<QString, QSet<QString>> m_tree;
    QStringList m_ancestors;
    QList<PathPart> m_pathState;
    QList<QString> m_queue;
    QSet<QString> m_queued;
    std::unique_ptr<Listing> m_listing; // the folder being listed, across steps
    bool m_started = false;
    bool m_armed = false;
    bool m_batchDue = false;
    bool m_reportedWatchFailure = false;
    int m_batchCount = 0;
};
