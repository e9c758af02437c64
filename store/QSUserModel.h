#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QStringList>
#include <QVariant>

#include <functional>

// A local copy of user records from the service, in the SQLite table "User" of
// "<cache folder>/Database/User.db", so that a user's display name needs no call.
//
// The file is created when missing, its folder never: without the "Database" folder the model has
// no connection, and then every write answers false and every read answers nothing. Records are
// string-keyed maps with the column names as keys; the 21 text columns always hold text, and
// u_updated holds the time of the last write in whole seconds since 1970 (UTC).
//
// One process-wide instance (sharedModel()); its operations are meant for one thread.
class QSUserModel final : public QObject
{
    Q_OBJECT
public:
    // Milliseconds since 1970-01-01 UTC; replaceable so tests can move "now".
    using Clock = std::function<qint64()>;

    static inline const QString kTableName = QStringLiteral("User");
    static inline const QString kUnknownName = QStringLiteral("未知");
    // Rows last written more than this many seconds ago are expired.
    static constexpr qint64 kExpirySeconds = 86400;

    // The one instance, made on first use under a lock; every call makes sure the table exists.
    static QSUserModel *sharedModel();
    // "<cache folder>/Database/User.db".
    static QString defaultDatabasePath();

    // A model on its own database file (the shared instance uses defaultDatabasePath()).
    explicit QSUserModel(const QString &databasePath, QObject *parent = nullptr);
    ~QSUserModel() override;

    bool hasConnection() const;
    // The 21 text columns in the order records are read and written.
    static const QStringList &fieldsOfStringType();
    // Creates the table and its index when the table is missing.
    void ensureTable();

    bool addWithUserInfo(const QVariantMap &userInfo);
    bool addWithServerUserInfo(const QVariantMap &userInfo);
    bool updateWithUid(const QString &uid, const QVariantMap &userInfo);
    bool updateWithServerUserInfo(const QVariantMap &userInfo);
    bool replaceWithServerUserInfo(const QVariantMap &userInfo);
    QVariantMap getWithUId(const QString &uid);
    bool existsWithUid(const QString &uid);
    QString getDisplayNameWithUid(const QString &uid);
    QStringList listExpiredUserIds();

    // Completion operations of a refresh of expired records ("updateExpiredUsersSuccess:" and
    // "updateExpiredUsersError:" under the callback convention).
    Q_INVOKABLE void updateExpiredUsersSuccess(const QVariant &payload);
    Q_INVOKABLE void updateExpiredUsersError(const QVariant &payload);
    bool isUpdatingExpiredUser() const { return m_isUpdatingExpiredUser; }
    // Set by whoever starts a refresh; both completion operations clear it.
    void setUpdatingExpiredUser(bool updating) { m_isUpdatingExpiredUser = updating; }

    void setClock(Clock clock);
    // The current time in whole seconds, rounded to the nearest second.
    qint64 currentSeconds() const;

    // An absent value (or the JSON null) becomes the empty text, anything else its text form.
    static QString formatStringValue(const QVariant &value);

private:
    bool tableExists();
    bool insertRow(const QStringList &columns, const QVariantList &values);
    bool updateRow(const QString &uid, const QStringList &columns, const QVariantList &values);

    QSqlDatabase m_db;
    QString m_connectionName;
    bool m_isUpdatingExpiredUser = false;
    Clock m_clock;
};
