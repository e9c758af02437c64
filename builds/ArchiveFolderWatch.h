#pragma once

#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>

// Watches one folder tree for changes: anything created, removed, renamed or changed in its
// attributes anywhere below the folder, and changes of the folder itself or of the path leading
// to it (the folder created later, removed, renamed, or a parent of it replaced). Events are
// coalesced: the first event of a batch starts the latency period, and when it has passed,
// changed() is emitted once for everything seen meanwhile, so batches come at most once per
// latency period. What changed is not reported.
//
// QFileSystemWatcher watches single existing folders only, so the watch keeps a watch on every
// folder of the tree (symbolic links are not followed) and on every existing ancestor of the
// folder, and re-arms after each change: folders that appeared get watched, folders that went
// away are dropped. An ancestor's event counts only when the path to the folder changed (one of
// its parts appeared, went away or is now another folder), not for its unrelated entries.
// Contents written into an existing file in place are not seen; new, removed and renamed
// entries are.
//
// Everything runs on the thread that owns the watch, in short steps (the tree is listed a few
// milliseconds at a time), so a large tree or a burst of events never holds up its event loop.
// A batch is reported once the tree is armed again, so nothing that changes after changed()
// has been emitted goes unseen.
class ArchiveFolderWatch final : public QObject
{
    Q_OBJECT
public:
    explicit ArchiveFolderWatch(const QString &folder,
        std::chrono::milliseconds latency = std::chrono::milliseconds(1000), QObject *parent = nullptr);
    ~ArchiveFolderWatch() override;

    // Starts watching from now on; earlier changes are not reported. The watch runs until it is
    // destroyed.
    void start();

    QString folder() const { return m_folder; }
    std::chrono::milliseconds latency() const { return m_latency; }
    // The folders watched now: ancestors and the tree.
    QStringList watchedDirectories() const { return m_watcher.directories(); }
    // True while folders are still being listed after a change.
    bool isArming() const { return !m_queue.isEmpty(); }
    // Number of batches reported so far.
    int batchCount() const { return m_batchCount; }

signals:
    void changed();

private:
    struct PathPart
    {
        QString path;
        bool exists = false;
        quint64 device = 0;
        quint64 inode = 0;
        bool operator==(const PathPart &other) const = default;
    };

    void directoryChanged(const QString &path);
    void noteChange();
    void latencyPassed();
    void armAncestors();
    void enqueue(const QString &directory);
    void armStep();
    void removeTree(const QString &directory);
    void reportIfDue();
    QList<PathPart> pathState() const;
    bool isInTree(const QString &path) const;

    QString m_folder;
    std::chrono::milliseconds m_latency;
    QFileSystemWatcher m_watcher;
    QTimer m_latencyTimer;
    QTimer m_armTimer;
    // Watched folders of the tree, each with its watched subfolders.
    QHash<QString, QSet<QString>> m_tree;
    QStringList m_ancestors;
    QList<PathPart> m_pathState;
    QList<QString> m_queue;
    QSet<QString> m_queued;
    bool m_started = false;
    bool m_batchDue = false;
    bool m_reportedWatchFailure = false;
    int m_batchCount = 0;
};
