#include "store/PackageCache.h"

#include "app/Config.h"
#include "store/Logging.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kLayoutVersion = 1;

QAtomicInt connectionCounter;

const QString kCreateTable = u"CREATE TABLE package ("
                             "path TEXT PRIMARY KEY NOT NULL, size INTEGER NOT NULL, modified INTEGER NOT NULL, "
                             "readable INTEGER NOT NULL, appType INTEGER NOT NULL, packageName TEXT NOT NULL, "
                             "appName TEXT NOT NULL, version TEXT NOT NULL, build TEXT NOT NULL, icon BLOB, "
                             "problem TEXT NOT NULL)"_s;

const QString kColumns = u"path, size, modified, readable, appType, packageName, appName, version, build, icon, "
                         "problem"_s;

// Paths below folder sort between "folder/" and "folder0" ('0' follows '/'), whatever characters
// the folder's name holds; no LIKE pattern to escape.
QString upperBound(const QString &folder)
{
    return folder + u'0';
}

PackageCache::Entry entryFrom(const QSqlQuery &query)
{
    PackageCache::Entry entry;
    entry.path = query.value(0).toString();
    entry.size = query.value(1).toLongLong();
    entry.modifiedNs = query.value(2).toLongLong();
    entry.readable = query.value(3).toInt() == 1;
    entry.appType = query.value(4).toInt();
    entry.packageName = query.value(5).toString();
    entry.appName = query.value(6).toString();
    entry.version = query.value(7).toString();
    entry.build = query.value(8).toString();
    entry.icon = query.value(9).toByteArray();
    entry.problem = query.value(10).toString();
    return entry;
}

// The driver binds a null QString as NULL, which the NOT NULL columns refuse.
QString text(const QString &value)
{
    return value.isNull() ? u""_s : value;
}

} // namespace

QString PackageCache::defaultPath()
{
    return Config::userCacheDir() + u"/quillo/PackageCache.db"_s;
}

PackageCache::PackageCache(const QString &databasePath)
    : m_path(databasePath)
    , m_connectionName(u"PackageCache-%1"_s.arg(connectionCounter.fetchAndAddRelaxed(1)))
{
    m_open = open();
    if (!m_open) {
        // Whatever lies there is not a usable cache: start again from an empty file.
        m_db.close();
        if (QFileInfo(m_path).isFile()) {
            qCWarning(lcStore).noquote() << "The package cache" << m_path << "is unusable; starting an empty one";
            QFile::remove(m_path);
            m_open = open();
        }
    }
    if (!m_open)
        qCWarning(lcStore).noquote() << "No package cache:" << m_path << m_db.lastError().text();
}

PackageCache::~PackageCache()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool PackageCache::open()
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        if (!QDir().mkpath(folder))
            return false;
        ::chmod(QFile::encodeName(folder).constData(), 0700);
    }
    if (!m_db.isValid()) {
        m_db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connectionName);
        m_db.setDatabaseName(m_path);
        m_db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=2000"_s);
    }
    return m_db.open() && prepareLayout();
}

bool PackageCache::prepareLayout()
{
    QSqlQuery query(m_db);
    // The first statement reads the file: one that is not a database fails here.
    if (!query.exec(u"PRAGMA user_version"_s) || !query.next())
        return false;
    if (query.value(0).toInt() == kLayoutVersion)
        return true;
    return query.exec(u"DROP TABLE IF EXISTS package"_s) && query.exec(kCreateTable)
        && query.exec(u"PRAGMA user_version = %1"_s.arg(kLayoutVersion));
}

QHash<QString, PackageCache::Entry> PackageCache::entriesBelow(const QStringList &folders)
{
    QHash<QString, Entry> entries;
    if (!m_open)
        return entries;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(u"SELECT %1 FROM package WHERE path > ? AND path < ?"_s.arg(kColumns));
    for (const QString &folder : folders) {
        query.addBindValue(QString(folder + u'/'));
        query.addBindValue(upperBound(folder));
        if (!query.exec()) {
            qCWarning(lcStore) << "cannot read the package cache:" << query.lastError().text();
            continue;
        }
        while (query.next()) {
            Entry entry = entryFrom(query);
            entries.insert(entry.path, std::move(entry));
        }
    }
    return entries;
}

bool PackageCache::store(const QList<Entry> &entries)
{
    if (!m_open || entries.isEmpty())
        return m_open;
    if (!m_db.transaction()) {
        qCWarning(lcStore) << "cannot write the package cache:" << m_db.lastError().text();
        return false;
    }
    QSqlQuery query(m_db);
    query.prepare(u"INSERT OR REPLACE INTO package (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s.arg(kColumns));
    for (const Entry &entry : entries) {
        query.addBindValue(entry.path);
        query.addBindValue(entry.size);
        query.addBindValue(entry.modifiedNs);
        query.addBindValue(entry.readable ? 1 : 0);
        query.addBindValue(entry.appType);
        query.addBindValue(text(entry.packageName));
        query.addBindValue(text(entry.appName));
        query.addBindValue(text(entry.version));
        query.addBindValue(text(entry.build));
        query.addBindValue(entry.icon.size() <= kMaxIconBytes ? entry.icon : QByteArray());
        query.addBindValue(text(entry.problem));
        if (!query.exec()) {
            qCWarning(lcStore) << "cannot write the package cache:" << query.lastError().text();
            m_db.rollback();
            return false;
        }
    }
    return m_db.commit();
}

int PackageCache::prune(const QString &folder, const QSet<QString> &keep)
{
    if (!m_open)
        return 0;
    QStringList gone;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.prepare(u"SELECT path FROM package WHERE path > ? AND path < ?"_s);
        query.addBindValue(QString(folder + u'/'));
        query.addBindValue(upperBound(folder));
        if (!query.exec())
            return 0;
        while (query.next()) {
            const QString path = query.value(0).toString();
            if (!keep.contains(path))
                gone.append(path);
        }
    }
    if (gone.isEmpty() || !m_db.transaction())
        return 0;
    QSqlQuery remove(m_db);
    remove.prepare(u"DELETE FROM package WHERE path = ?"_s);
    for (const QString &path : std::as_const(gone)) {
        remove.addBindValue(path);
        remove.exec();
    }
    return m_db.commit() ? int(gone.size()) : 0;
}
