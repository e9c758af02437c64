#pragma once

#include <QList>
#include <QString>

#include <mutex>
#include <optional>

struct sqlite3;

// The service's records in one SQLite file: accounts, applications (one per user, package
// identifier and platform, each with its download-page suffix), their releases, launch reports
// and password-reset tickets. Safe to use from every worker thread: one connection behind a lock.
class Store final
{
public:
    struct User
    {
        qint64 id = 0;
        QString userKey;
        QString email;
        QString name;
        QString passwordHash;
        QString token;
    };

    struct App
    {
        qint64 id = 0;
        QString appKey;
        qint64 userId = 0;
        QString packageName;
        QString platform;
        QString shortcut;
        QString name;
        QString isPublishToPublic;
        QString password;
        QString publishRange;
        QString inviteKey; // the secret part of the address of a release restricted to invited testers
    };

    struct Release
    {
        qint64 id = 0;
        QString releaseKey;
        qint64 appId = 0;
        QString name;
        QString version;
        QString build;
        QString packageName;
        QString platform;
        QString fileName;
        QString packagePath; // relative to the data folder
        qint64 size = 0;
        QString sha256;
        QString iconPath; // relative to the data folder, may be empty
        QString description;
        qint64 createdAt = 0; // seconds since the epoch, UTC
    };

    // What one upload asks to publish.
    struct Publication
    {
        qint64 userId = 0;
        QString packageName;
        QString platform;
        QString shortcut; // the suffix wanted; never empty here
        QString appName;
        QString isPublishToPublic;
        QString password;
        QString publishRange;
        Release release; // appId and id are filled in
    };

    enum class Result { Ok, Conflict, Failed };

    Store() = default;
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    bool open(const QString &path, QString *error);

    std::optional<User> userByEmail(const QString &email);
    std::optional<User> userByKey(const QString &userKey);
    // Conflict: the e-mail address is taken.
    Result addUser(const QString &email, const QString &name, const QString &passwordHash, User *added);
    // Keeps key, token and tickets (a stronger hash of the same password).
    bool setPasswordHash(qint64 userId, const QString &passwordHash);
    // A new password: the user also gets a new key and token (every session must log in again) and
    // every reset ticket of theirs ends.
    bool replacePassword(qint64 userId, const QString &passwordHash);
    // replacePassword for the user of a valid ticket, which is used up with the rest. Nothing when
    // the ticket is unknown, used or expired.
    std::optional<qint64> resetPassword(const QString &ticket, const QString &passwordHash);

    std::optional<App> appByShortcut(const QString &shortcut);
    std::optional<App> appFor(qint64 userId, const QString &packageName, const QString &platform);
    std::optional<App> appById(qint64 appId);
    // Creates or updates the application and adds the release in one transaction.
    // Conflict: the suffix belongs to another application.
    Result publish(Publication &publication, App *app);
    QList<Release> releases(qint64 appId); // newest first
    std::optional<Release> latestRelease(qint64 appId);
    QList<Release> allReleases();

    void recordLaunch(const QString &kind, const QString &type, const QString &userKey, const QString &remote);
    qint64 launchCount(const QString &kind);

    QString createResetTicket(qint64 userId, qint64 lifetimeSeconds);
    // The user the ticket belongs to, when it exists, is unused and has not expired; marks it used
    // when consume is set.
    std::optional<qint64> resetTicketUser(const QString &ticket, bool consume);

    // A value of the service itself (the secret that signs download tickets, for instance).
    QString setting(const QString &key);
    void setSetting(const QString &key, const QString &value);

private:
    bool exec(const char *sql);
    bool migrate();
    bool rotateCredentials(qint64 userId, const QString &passwordHash);
    sqlite3 *m_db = nullptr;
    std::recursive_mutex m_lock;
};
