#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// What the inspection found in the packages of the build folders, kept by path together with the
// size and modification time the package had when it was read, so that a rescan inspects again
// only what changed. Its own SQLite file, "<cache folder>/quillo/PackageCache.db" (the folder is
// made, mode 0700, on first use).
//
// The cache can always be rebuilt from the packages, so a file that is not a database of this
// layout (damaged, another program's, an older layout) is replaced by an empty one, with one log
// line. The desktop program and quillo may use the file at the same time; a write waits up to two
// seconds for the other's. An instance belongs to the thread that made it.
class PackageCache final
{
public:
    // Icons larger than this are not kept (the list then shows the default icon).
    static constexpr qsizetype kMaxIconBytes = 1024 * 1024;

    struct Entry
    {
        QString path;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        // False: the package was read and found unreadable; kept so that it is not tried again
        // until it changes.
        bool readable = false;
        int appType = 0; // 1 iOS, 2 Android
        QString packageName;
        QString appName;
        QString version;
        QString build;
        QByteArray icon;
        QString problem; // why it is unreadable
    };

    static QString defaultPath();

    explicit PackageCache(const QString &databasePath = defaultPath());
    ~PackageCache();
    PackageCache(const PackageCache &) = delete;
    PackageCache &operator=(const PackageCache &) = delete;

    bool isOpen() const { return m_open; }
    QString databasePath() const { return m_path; }

    // Every entry whose path lies below one of the folders, by path.
    QHash<QString, Entry> entriesBelow(const QStringList &folders);
    // Adds or replaces the entries, all in one transaction.
    bool store(const QList<Entry> &entries);
    // Removes the entries below folder whose path is not in keep; returns how many went.
    int prune(const QString &folder, const QSet<QString> &keep);

private:
    bool open();
    bool prepareLayout();

    QString m_path;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_open = false;
};
