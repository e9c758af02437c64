#include "server/Store.h"

#include "server/Logging.h"
#include "server/Passwords.h"

#include <QDateTime>

#include <sqlite3.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int schemaVersion = 2; // 2: apps.invite_key

const char *const schema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS users(
    id INTEGER PRIMARY KEY,
    user_key TEXT NOT NULL UNIQUE,
    email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    name TEXT NOT NULL,
    password_hash TEXT NOT NULL,
    token TEXT NOT NULL,
    created_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS apps(
    id INTEGER PRIMARY KEY,
    app_key TEXT NOT NULL UNIQUE,
    user_id INTEGER NOT NULL REFERENCES users(id),
    package_name TEXT NOT NULL,
    platform TEXT NOT NULL,
    shortcut TEXT NOT NULL UNIQUE COLLATE NOCASE,
    name TEXT NOT NULL,
    is_publish_to_public TEXT NOT NULL,
    password TEXT NOT NULL,
    publish_range TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    invite_key TEXT NOT NULL DEFAULT '',
    UNIQUE(user_id, package_name, platform));
CREATE TABLE IF NOT EXISTS releases(
    id INTEGER PRIMARY KEY,
    release_key TEXT NOT NULL UNIQUE,
    app_id INTEGER NOT NULL REFERENCES apps(id),
    name TEXT NOT NULL,
    version TEXT NOT NULL,
    build TEXT NOT NULL,
    package_name TEXT NOT NULL,
    platform TEXT NOT NULL,
    file_name TEXT NOT NULL,
    package_path TEXT NOT NULL,
    size INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    icon_path TEXT NOT NULL,
    description TEXT NOT NULL,
    created_at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS releases_by_app ON releases(app_id, id);
CREATE TABLE IF NOT EXISTS launches(
    id INTEGER PRIMARY KEY,
    kind TEXT NOT NULL,
    type TEXT NOT NULL,
    user_key TEXT NOT NULL,
    remote TEXT NOT NULL,
    at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS reset_tickets(
    ticket TEXT PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id),
    expires_at INTEGER NOT NULL,
    used INTEGER NOT NULL DEFAULT 0);
)sql";

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

// One prepared statement; binds by position from 1 and finalizes itself.
class Statement final
{
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            qCWarning(lcServer) << "SQL error:" << sqlite3_errmsg(db) << "in" << sql;
            m_stmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool valid() const { return m_stmt != nullptr; }
    Statement &bind(const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(m_stmt, ++m_bound, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind(qint64 value)
    {
        sqlite3_bind_int64(m_stmt, ++m_bound, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or an error code.
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
    bool run() { return step() == SQLITE_DONE; }
    QString text(int column) const
    {
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        return data ? QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column)) : QString();
    }
    qint64 integer(int column) const { return sqlite3_column_int64(m_stmt, column); }

private:
    sqlite3_stmt *m_stmt = nullptr;
    int m_bound = 0;
};

const char *const userColumns = "id, user_key, email, name, password_hash, token";
const char *const appColumns = "id, app_key, user_id, package_name, platform, shortcut, name, is_publish_to_public, "
                               "password, publish_range, invite_key";
const char *const releaseColumns = "id, release_key, app_id, name, version, build, package_name, platform, file_name, "
                                   "package_path, size, sha256, icon_path, description, created_at";

Store::User readUser(const Statement &s)
{
    return {s.integer(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5)};
}

Store::App readApp(const Statement &s)
{
    return { s.integer(0), s.text(1), s.integer(2), s.text(3), s.text(4), s.text(5), s.text(6), s.text(7), s.text(8),
        s.text(9), s.text(10) };
}

Store::Release readRelease(const Statement &s)
{
    Store::Release r;
    r.id = s.integer(0);
    r.releaseKey = s.text(1);
    r.appId = s.integer(2);
    r.name = s.text(3);
    r.version = s.text(4);
    r.build = s.text(5);
    r.packageName = s.text(6);
    r.platform = s.text(7);
    r.fileName = s.text(8);
    r.packagePath = s.text(9);
    r.size = s.integer(10);
    r.sha256 = s.text(11);
    r.iconPath = s.text(12);
    r.description = s.text(13);
    r.createdAt = s.integer(14);
    return r;
}

QByteArray select(const char *columns, const char *rest)
{
    return QByteArray("SELECT ") + columns + ' ' + rest;
}

} // namespace

Store::~Store()
{
    if (m_db)
        sqlite3_close(m_db);
}

bool Store::exec(const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    qCWarning(lcServer) << "SQL error:" << message;
    sqlite3_free(message);
    return false;
}

bool Store::open(const QString &path, QString *error)
{
    std::lock_guard guard(m_lock);
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr)
        != SQLITE_OK) {
        *error = u"cannot open the database %1: %2"_s.arg(path, QString::fromUtf8(sqlite3_errmsg(m_db)));
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA foreign_keys=ON");
    if (!exec(schema)) {
        *error = u"cannot create the tables in "_s + path;
        return false;
    }
    const QString stored = setting(u"schema_version"_s);
    if (!stored.isEmpty() && stored.toInt() > schemaVersion) {
        *error = u"the database %1 was written by a newer version (schema %2)"_s.arg(path, stored);
        return false;
    }
    if (!migrate()) {
        *error = u"cannot bring the database %1 up to schema %2"_s.arg(path).arg(schemaVersion);
        return false;
    }
    setSetting(u"schema_version"_s, QString::number(schemaVersion));
    return true;
}

// Schema 1 had no invitation keys: the column is added and every application gets its own key.
bool Store::migrate()
{
    bool hasInviteKey = false;
    {
        Statement columns(m_db, "PRAGMA table_info(apps)");
        while (columns.step() == SQLITE_ROW)
            hasInviteKey = hasInviteKey || columns.text(1) == u"invite_key"_s;
    }
    if (!hasInviteKey && !exec("ALTER TABLE apps ADD COLUMN invite_key TEXT NOT NULL DEFAULT ''"))
        return false;
    QList<qint64> keyless;
    {
        Statement s(m_db, "SELECT id FROM apps WHERE invite_key = ''");
        while (s.step() == SQLITE_ROW)
            keyless.append(s.integer(0));
    }
    for (const qint64 id : keyless) {
        Statement s(m_db, "UPDATE apps SET invite_key = ? WHERE id = ?");
        if (!s.bind(Passwords::randomKey(32)).bind(id).run())
            return false;
    }
    return true;
}

std::optional<Store::User> Store::userByEmail(const QString &email)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, select(userColumns, "FROM users WHERE email = ?").constData());
    s.bind(email);
    if (s.step() == SQLITE_ROW)
        return readUser(s);
    return std::nullopt;
}

std::optional<Store::User> Store::userByKey(const QString &userKey)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, select(userColumns, "FROM users WHERE user_key = ?").constData());
    s.bind(userKey);
    if (s.step() == SQLITE_ROW)
        return readUser(s);
    return std::nullopt;
}

Store::Result Store::addUser(const QString &email, const QString &name, const QString &passwordHash, User *added)
{
    std::lock_guard guard(m_lock);
    if (userByEmail(email))
        return Result::Conflict;
    User user{0, Passwords::randomKey(32), email, name, passwordHash, Passwords::randomKey(32)};
    Statement s(m_db, "INSERT INTO users(user_key, email, name, password_hash, token, created_at) VALUES(?,?,?,?,?,?)");
    s.bind(user.userKey).bind(email).bind(name).bind(passwordHash).bind(user.token).bind(now());
    if (!s.run())
        return Result::Failed;
    user.id = sqlite3_last_insert_rowid(m_db);
    if (added)
        *added = user;
    return Result::Ok;
}

bool Store::setPasswordHash(qint64 userId, const QString &passwordHash)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, "UPDATE users SET password_hash = ? WHERE id = ?");
    return s.bind(passwordHash).bind(userId).run();
}

bool Store::rotateCredentials(qint64 userId, const QString &passwordHash)
{
    Statement user(m_db, "UPDATE users SET password_hash = ?, user_key = ?, token = ? WHERE id = ?");
    if (!user.bind(passwordHash).bind(Passwords::randomKey(32)).bind(Passwords::randomKey(32)).bind(userId).run()
        || sqlite3_changes(m_db) != 1)
        return false;
    Statement tickets(m_db, "UPDATE reset_tickets SET used = 1 WHERE user_id = ?");
    return tickets.bind(userId).run();
}

bool Store::replacePassword(qint64 userId, const QString &passwordHash)
{
    std::lock_guard guard(m_lock);
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    if (!rotateCredentials(userId, passwordHash) || !exec("COMMIT")) {
        exec("ROLLBACK");
        return false;
    }
    return true;
}

std::optional<qint64> Store::resetPassword(const QString &ticket, const QString &passwordHash)
{
    std::lock_guard guard(m_lock);
    if (!exec("BEGIN IMMEDIATE"))
        return std::nullopt;
    const std::optional<qint64> userId = resetTicketUser(ticket, true);
    if (!userId || !rotateCredentials(*userId, passwordHash) || !exec("COMMIT")) {
        exec("ROLLBACK");
        return std::nullopt;
    }
    return userId;
}

std::optional<Store::App> Store::appByShortcut(const QString &shortcut)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, select(appColumns, "FROM apps WHERE shortcut = ?").constData());
    s.bind(shortcut);
    if (s.step() == SQLITE_ROW)
        return readApp(s);
    return std::nullopt;
}

std::optional<Store::App> Store::appFor(qint64 userId, const QString &packageName, const QString &platform)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, select(appColumns, "FROM apps WHERE user_id = ? AND package_name = ? AND platform = ?").constData());
    s.bind(userId).bind(packageName).bind(platform);
    if (s.step() == SQLITE_ROW)
        return readApp(s);
    return std::nullopt;
}

std::optional<Store::App> Store::appById(qint64 appId)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, select(appColumns, "FROM apps WHERE id = ?").constData());
    s.bind(appId);
    if (s.step() == SQLITE_ROW)
        return readApp(s);
    return std::nullopt;
}

Store::Result Store::publish(Publication &p, App *app)
{
    std::lock_guard guard(m_lock);
    if (!exec("BEGIN IMMEDIATE"))
        return Result::Failed;
    auto fail = [this](Result result) {
        exec("ROLLBACK");
        return result;
    };
    const std::optional<App> owner = appByShortcut(p.shortcut);
    std::optional<App> existing = appFor(p.userId, p.packageName, p.platform);
    if (owner && (!existing || owner->id != existing->id))
        return fail(Result::Conflict);
    const qint64 time = now();
    if (existing) {
        Statement s(m_db, "UPDATE apps SET shortcut = ?, name = ?, is_publish_to_public = ?, password = ?, "
                          "publish_range = ?, updated_at = ? WHERE id = ?");
        s.bind(p.shortcut).bind(p.appName).bind(p.isPublishToPublic).bind(p.password).bind(p.publishRange).bind(time).bind(existing->id);
        if (!s.run())
            return fail(Result::Failed);
    } else {
        Statement s(m_db,
            "INSERT INTO apps(app_key, user_id, package_name, platform, shortcut, name, is_publish_to_public, "
            "password, publish_range, created_at, updated_at, invite_key) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
        s.bind(Passwords::randomKey(32)).bind(p.userId).bind(p.packageName).bind(p.platform).bind(p.shortcut).bind(p.appName);
        s.bind(p.isPublishToPublic)
            .bind(p.password)
            .bind(p.publishRange)
            .bind(time)
            .bind(time)
            .bind(Passwords::randomKey(32));
        if (!s.run())
            return fail(Result::Failed);
    }
    existing = appFor(p.userId, p.packageName, p.platform);
    if (!existing)
        return fail(Result::Failed);
    Release &r = p.release;
    r.appId = existing->id;
    r.createdAt = time;
    Statement s(m_db, "INSERT INTO releases(release_key, app_id, name, version, build, package_name, platform, file_name, "
                      "package_path, size, sha256, icon_path, description, created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    s.bind(r.releaseKey).bind(r.appId).bind(r.name).bind(r.version).bind(r.build).bind(r.packageName).bind(r.platform);
    s.bind(r.fileName).bind(r.packagePath).bind(r.size).bind(r.sha256).bind(r.iconPath).bind(r.description).bind(r.createdAt);
    if (!s.run())
        return fail(Result::Failed);
    r.id = sqlite3_last_insert_rowid(m_db);
    if (!exec("COMMIT"))
        return fail(Result::Failed);
    if (app)
        *app = *existing;
    return Result::Ok;
}

QList<Store::Release> Store::releases(qint64 appId)
{
    std::lock_guard guard(m_lock);
    QList<Release> list;
    Statement s(m_db, select(releaseColumns, "FROM releases WHERE app_id = ? ORDER BY id DESC").constData());
    s.bind(appId);
    while (s.step() == SQLITE_ROW)
        list.append(readRelease(s));
    return list;
}

std::optional<Store::Release> Store::latestRelease(qint64 appId)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, select(releaseColumns, "FROM releases WHERE app_id = ? ORDER BY id DESC LIMIT 1").constData());
    s.bind(appId);
    if (s.step() == SQLITE_ROW)
        return readRelease(s);
    return std::nullopt;
}

QList<Store::Release> Store::allReleases()
{
    std::lock_guard guard(m_lock);
    QList<Release> list;
    Statement s(m_db, select(releaseColumns, "FROM releases ORDER BY id").constData());
    while (s.step() == SQLITE_ROW)
        list.append(readRelease(s));
    return list;
}

void Store::recordLaunch(const QString &kind, const QString &type, const QString &userKey, const QString &remote)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, "INSERT INTO launches(kind, type, user_key, remote, at) VALUES(?,?,?,?,?)");
    s.bind(kind).bind(type).bind(userKey).bind(remote).bind(now());
    s.run();
}

qint64 Store::launchCount(const QString &kind)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, "SELECT COUNT(*) FROM launches WHERE kind = ?");
    s.bind(kind);
    return s.step() == SQLITE_ROW ? s.integer(0) : 0;
}

QString Store::createResetTicket(qint64 userId, qint64 lifetimeSeconds)
{
    std::lock_guard guard(m_lock);
    const QString ticket = Passwords::randomKey(40);
    Statement s(m_db, "INSERT INTO reset_tickets(ticket, user_id, expires_at) VALUES(?,?,?)");
    s.bind(ticket).bind(userId).bind(now() + lifetimeSeconds);
    return s.run() ? ticket : QString();
}

std::optional<qint64> Store::resetTicketUser(const QString &ticket, bool consume)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, "SELECT user_id FROM reset_tickets WHERE ticket = ? AND used = 0 AND expires_at > ?");
    s.bind(ticket).bind(now());
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    const qint64 userId = s.integer(0);
    if (consume) {
        Statement mark(m_db, "UPDATE reset_tickets SET used = 1 WHERE ticket = ? AND used = 0");
        mark.bind(ticket);
        if (!mark.run() || sqlite3_changes(m_db) != 1)
            return std::nullopt;
    }
    return userId;
}

QString Store::setting(const QString &key)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, "SELECT value FROM meta WHERE key = ?");
    s.bind(key);
    return s.step() == SQLITE_ROW ? s.text(0) : QString();
}

void Store::setSetting(const QString &key, const QString &value)
{
    std::lock_guard guard(m_lock);
    Statement s(m_db, "INSERT INTO meta(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    s.bind(key).bind(value).run();
}
