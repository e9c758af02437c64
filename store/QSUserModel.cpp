#include "store/QSUserModel.h"

#include "app/Config.h"
#include "app/DataCheck.h"
#include "store/Logging.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMutex>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

// The table's columns in the order of its CREATE TABLE statement.
const QStringList &tableTextColumns()
{
    static const QStringList columns = {
        u"u_id"_s,
        u"u_name"_s,
        u"u_email"_s,
        u"u_alias"_s,
        u"u_gender"_s,
        u"u_mobile"_s,
        u"u_signature"_s,
        u"u_latitude"_s,
        u"u_longitude"_s,
        u"u_location_updated"_s,
        u"u_allow_share_location"_s,
        u"u_is_complete"_s,
        u"u_job"_s,
        u"u_company"_s,
        u"u_fav"_s,
        u"u_normal_place"_s,
        u"u_age"_s,
        u"u_is_vip"_s,
        u"u_belong_house_id"_s,
        u"u_description"_s,
        u"screen_name"_s,
    };
    return columns;
}

const QString kUpdatedColumn = u"u_updated"_s;
const QString kIdColumn = u"u_id"_s;

QString createTableStatement(const QString &table)
{
    QStringList definitions;
    for (const QString &column : tableTextColumns())
        definitions.append(
            column + (column == kIdColumn ? u" VARCHAR PRIMARY KEY NOT NULL"_s : u" VARCHAR NOT NULL"_s));
    definitions.append(kUpdatedColumn + u" INTEGER NOT NULL DEFAULT 0"_s);
    return u"CREATE TABLE %1 ("_s.arg(table) + definitions.join(u", "_s) + u")"_s;
}

QAtomicInt connectionCounter;

// The driver binds a null QString as NULL, which the NOT NULL columns refuse.
QVariant bindable(const QVariant &value)
{
    if (value.typeId() == QMetaType::QString && value.toString().isNull())
        return QString(u""_s);
    return value;
}

} // namespace

QString QSUserModel::defaultDatabasePath()
{
    return Config::userCacheDir() + u"/Database/User.db"_s;
}

QSUserModel *QSUserModel::sharedModel()
{
    static QMutex mutex;
    static QSUserModel *instance = nullptr;
    const QMutexLocker lock(&mutex);
    if (!instance) {
        instance = new QSUserModel(defaultDatabasePath());
        // Reply handlers reach it through the meta-object system from the main thread.
        if (QCoreApplication::instance())
            instance->moveToThread(QCoreApplication::instance()->thread());
    }
    instance->ensureTable();
    return instance;
}

QSUserModel::QSUserModel(const QString &databasePath, QObject *parent)
    : QObject(parent)
    , m_connectionName(u"QSUserModel-%1"_s.arg(connectionCounter.fetchAndAddRelaxed(1)))
{
    m_db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connectionName);
    m_db.setDatabaseName(databasePath);
    if (!m_db.open())
        qCWarning(lcStore) << "no user cache:" << databasePath << m_db.lastError().text();
}

QSUserModel::~QSUserModel()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool QSUserModel::hasConnection() const
{
    return m_db.isOpen();
}

const QStringList &QSUserModel::fieldsOfStringType()
{
    static const QStringList fields = {
        u"u_id"_s,
        u"u_name"_s,
        u"u_alias"_s,
        u"u_email"_s,
        u"u_gender"_s,
        u"u_mobile"_s,
        u"u_signature"_s,
        u"u_latitude"_s,
        u"u_longitude"_s,
        u"u_location_updated"_s,
        u"u_allow_share_location"_s,
        u"u_is_complete"_s,
        u"u_job"_s,
        u"u_company"_s,
        u"u_fav"_s,
        u"u_normal_place"_s,
        u"u_age"_s,
        u"u_is_vip"_s,
        u"u_belong_house_id"_s,
        u"screen_name"_s,
        u"u_description"_s,
    };
    return fields;
}

void QSUserModel::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

qint64 QSUserModel::currentSeconds() const
{
    const qint64 msecs = m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
    return msecs >= 0 ? (msecs + 500) / 1000 : -((-msecs + 499) / 1000);
}

QString QSUserModel::formatStringValue(const QVariant &value)
{
    if (!value.isValid() || value.isNull() || value.metaType() == QMetaType::fromType<std::nullptr_t>())
        return QString();
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Bool:
        // A boolean counts as the number 1 or 0.
        return value.toBool() ? u"1"_s : u"0"_s;
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::QVariantMap:
    case QMetaType::QVariantList:
        return QString::fromUtf8(QJsonDocument::fromVariant(value).toJson(QJsonDocument::Compact));
    default:
        return value.toString();
    }
}

bool QSUserModel::tableExists()
{
    if (!hasConnection())
        return false;
    QSqlQuery query(m_db);
    query.prepare(u"select [sql] from sqlite_master where [type] = 'table' and lower(name) = ?"_s);
    query.addBindValue(kTableName.toLower());
    if (!query.exec()) {
        qCWarning(lcStore) << "cannot look up the user table:" << query.lastError().text();
        return false;
    }
    return query.next();
}

void QSUserModel::ensureTable()
{
    if (!hasConnection() || tableExists())
        return;
    QSqlQuery query(m_db);
    if (!query.exec(createTableStatement(kTableName))) {
        qCWarning(lcStore) << "cannot create the user table:" << query.lastError().text();
        return;
    }
    if (!query.exec(u"create index u_is_complete on %1(u_is_complete);"_s.arg(kTableName)))
        qCWarning(lcStore) << "cannot create the user index:" << query.lastError().text();
}

bool QSUserModel::insertRow(const QStringList &columns, const QVariantList &values)
{
    if (columns.isEmpty() || !tableExists())
        return false;
    QStringList marks;
    for (qsizetype i = 0; i < columns.size(); ++i)
        marks.append(u"?"_s);
    QSqlQuery query(m_db);
    query.prepare(u"INSERT INTO %1 (%2) VALUES (%3)"_s.arg(kTableName, columns.join(u", "_s), marks.join(u", "_s)));
    for (const QVariant &value : values)
        query.addBindValue(bindable(value));
    if (!query.exec()) {
        qCDebug(lcStore) << "insert refused:" << query.lastError().text();
        return false;
    }
    return true;
}

bool QSUserModel::updateRow(const QString &uid, const QStringList &columns, const QVariantList &values)
{
    if (columns.isEmpty() || !tableExists())
        return false;
    QStringList assignments;
    for (const QString &column : columns)
        assignments.append(u" %1 = ? "_s.arg(column));
    QSqlQuery query(m_db);
    query.prepare(u"UPDATE %1 SET "_s.arg(kTableName) + assignments.join(u","_s) + u" WHERE "_s + u"u_id = ?"_s);
    for (const QVariant &value : values)
        query.addBindValue(bindable(value));
    query.addBindValue(uid);
    if (!query.exec()) {
        qCDebug(lcStore) << "update refused:" << query.lastError().text();
        return false;
    }
    return true;
}

bool QSUserModel::addWithUserInfo(const QVariantMap &userInfo)
{
    if (!DataCheck::isValidString(userInfo.value(kIdColumn)))
        return false;
    QStringList columns;
    QVariantList values;
    for (const QString &column : fieldsOfStringType()) {
        const QString value = formatStringValue(userInfo.value(column));
        columns.append(column);
        values.append(DataCheck::isValidString(value) ? value : QString());
    }
    columns.append(kUpdatedColumn);
    values.append(currentSeconds());
    return insertRow(columns, values);
}

bool QSUserModel::addWithServerUserInfo(const QVariantMap &userInfo)
{
    if (!DataCheck::isValidString(userInfo.value(kIdColumn)))
        return false;
    QStringList columns;
    QVariantList values;
    for (const QString &column : fieldsOfStringType()) {
        columns.append(column);
        values.append(column == u"u_is_complete"_s ? u"YES"_s : formatStringValue(userInfo.value(column)));
    }
    columns.append(kUpdatedColumn);
    values.append(currentSeconds());
    return insertRow(columns, values);
}

bool QSUserModel::updateWithUid(const QString &uid, const QVariantMap &userInfo)
{
    if (!DataCheck::isValidString(uid))
        return false;
    QStringList columns;
    QVariantList values;
    for (const QString &column : fieldsOfStringType()) {
        const QString value = formatStringValue(userInfo.value(column));
        if (DataCheck::isValidString(value)) {
            columns.append(column);
            values.append(value);
        }
    }
    if (columns.isEmpty())
        return false;
    columns.append(kUpdatedColumn);
    values.append(currentSeconds());
    return updateRow(uid, columns, values);
}

bool QSUserModel::updateWithServerUserInfo(const QVariantMap &userInfo)
{
    const QVariant uid = userInfo.value(kIdColumn);
    if (!DataCheck::isValidString(uid))
        return false;
    // The local alias is never overwritten from the service.
    QVariantMap record;
    for (const QString &column : fieldsOfStringType()) {
        if (column != kIdColumn && column != u"u_alias"_s)
            record.insert(column, formatStringValue(userInfo.value(column)));
    }
    record.insert(u"u_is_complete"_s, u"YES"_s);
    return updateWithUid(uid.toString(), record);
}

bool QSUserModel::replaceWithServerUserInfo(const QVariantMap &userInfo)
{
    const QVariant uid = userInfo.value(kIdColumn);
    if (DataCheck::isValidString(uid) && existsWithUid(uid.toString()))
        return updateWithServerUserInfo(userInfo);
    return addWithServerUserInfo(userInfo);
}

QVariantMap QSUserModel::getWithUId(const QString &uid)
{
    if (!DataCheck::isValidString(uid) || !hasConnection())
        return {};
    QSqlQuery query(m_db);
    query.prepare(u"SELECT * FROM %1"_s.arg(kTableName) + u" WHERE "_s + u"u_id = ?"_s + u" LIMIT "_s + u"0, 1"_s);
    query.addBindValue(uid);
    if (!query.exec() || !query.next())
        return {};
    QVariantMap record;
    for (const QString &column : fieldsOfStringType())
        record.insert(column, formatStringValue(query.value(column)));
    return record;
}

bool QSUserModel::existsWithUid(const QString &uid)
{
    if (!hasConnection())
        return false;
    QSqlQuery query(m_db);
    query.prepare(u"SELECT count(*) FROM %1"_s.arg(kTableName) + u" WHERE "_s + u"u_id = ?"_s);
    query.addBindValue(uid);
    if (!query.exec() || !query.next())
        return false;
    return query.value(0).toLongLong() > 0;
}

QString QSUserModel::getDisplayNameWithUid(const QString &uid)
{
    const QVariantMap record = getWithUId(uid);
    if (record.isEmpty())
        return kUnknownName;
    const QString alias = formatStringValue(record.value(u"u_alias"_s));
    const QString name = formatStringValue(record.value(u"u_name"_s));
    return DataCheck::isValidString(alias) ? u"%1(%2)"_s.arg(alias, name) : name;
}

QStringList QSUserModel::listExpiredUserIds()
{
    if (!hasConnection())
        return {};
    // strftime('%s', 'now') with "now" taken from the clock: whole seconds, truncated.
    const qint64 msecs = m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
    const qint64 now = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    QSqlQuery query(m_db);
    query.prepare(
        u"SELECT * FROM %1"_s.arg(kTableName) + u" WHERE "_s + u"strftime('%s', ?, 'unixepoch') - u_updated > ?"_s);
    query.addBindValue(now);
    query.addBindValue(kExpirySeconds);
    QStringList ids;
    if (!query.exec()) {
        qCWarning(lcStore) << "cannot list expired users:" << query.lastError().text();
        return ids;
    }
    while (query.next())
        ids.append(query.value(kIdColumn).toString());
    return ids;
}

void QSUserModel::updateExpiredUsersSuccess(const QVariant &payload)
{
    const QVariantMap data = DataCheck::isValidDictionary(payload) ? payload.toMap() : QVariantMap();
    const QVariant list = data.value(u"list"_s);
    if (DataCheck::isValidArray(list)) {
        const QVariantList records = list.toList();
        for (const QVariant &record : records) {
            if (DataCheck::isValidDictionary(record))
                updateWithServerUserInfo(record.toMap());
        }
    }
    m_isUpdatingExpiredUser = false;
}

void QSUserModel::updateExpiredUsersError(const QVariant &payload)
{
    Q_UNUSED(payload)
    m_isUpdatingExpiredUser = false;
}
