#include "app/Config.h"
#include "store/QSUserModel.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kT0 = 1700000000; // seconds

QVariantMap user(const QString &uid, const QString &name, const QString &alias = QString())
{
    return { { u"u_id"_s, uid }, { u"u_name"_s, name }, { u"u_alias"_s, alias }, { u"u_email"_s, u"a@b.c"_s } };
}

// Reads a column straight from the file, bypassing the model.
QVariant rawValue(const QString &path, const QString &uid, const QString &column)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"raw"_s);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(u"SELECT %1 FROM User WHERE u_id = ?"_s.arg(column));
            query.addBindValue(uid);
            if (query.exec() && query.next())
                value = query.value(0);
        }
    }
    QSqlDatabase::removeDatabase(u"raw"_s);
    return value;
}

} // namespace

class TestQSUserModel : public QObject
{
    Q_OBJECT

    QString m_path;
    std::unique_ptr<QSUserModel> m_model;
    qint64 m_nowMs = kT0 * 1000;

private Q_SLOTS:
    void init()
    {
        static int n = 0;
        m_path = TestEnvironment::path(u"db%1/User.db"_s.arg(++n));
        m_model = std::make_unique<QSUserModel>(m_path);
        m_nowMs = kT0 * 1000;
        m_model->setClock([this] { return m_nowMs; });
        m_model->ensureTable();
        QVERIFY(m_model->hasConnection());
    }
    void cleanup() { m_model.reset(); }

    void schema()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"schema"_s);
        db.setDatabaseName(m_path);
        QVERIFY(db.open());
        QStringList columns;
        {
            QSqlQuery query(u"PRAGMA table_info(User)"_s, db);
            while (query.next())
                columns.append(query.value(1).toString() + u':' + query.value(2).toString() + u':'
                    + query.value(3).toString() + u':' + query.value(5).toString());
            QSqlQuery index(u"select name from sqlite_master where type = 'index' and tbl_name = 'User'"_s, db);
            QStringList indexes;
            while (index.next())
                indexes.append(index.value(0).toString());
            QVERIFY(indexes.contains(u"u_is_complete"_s));
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(u"schema"_s);
        QCOMPARE(columns.size(), 22);
        QCOMPARE(columns.first(), u"u_id:VARCHAR:1:1"_s);
        QCOMPARE(columns.at(2), u"u_email:VARCHAR:1:0"_s);
        QCOMPARE(columns.at(20), u"screen_name:VARCHAR:1:0"_s);
        QCOMPARE(columns.last(), u"u_updated:INTEGER:1:0"_s);
        QCOMPARE(QSUserModel::fieldsOfStringType().size(), 21);
        QCOMPARE(QSUserModel::fieldsOfStringType().at(2), u"u_alias"_s);

        // Reopening an existing file keeps its rows.
        QVERIFY(m_model->addWithUserInfo(user(u"1"_s, u"n"_s)));
        m_model = std::make_unique<QSUserModel>(m_path);
        m_model->ensureTable();
        QVERIFY(m_model->existsWithUid(u"1"_s));
    }

    void displayName()
    {
        QVERIFY(m_model->addWithUserInfo(user(u"1"_s, u"y"_s, u"x"_s)));
        QVERIFY(m_model->addWithUserInfo(user(u"2"_s, u"y"_s)));
        QVERIFY(m_model->addWithUserInfo(user(u"3"_s, u"y"_s, u"\n"_s)));
        QCOMPARE(m_model->getDisplayNameWithUid(u"1"_s), u"x(y)"_s);
        QCOMPARE(m_model->getDisplayNameWithUid(u"2"_s), u"y"_s);
        QCOMPARE(m_model->getDisplayNameWithUid(u"3"_s), u"y"_s);
        QCOMPARE(m_model->getDisplayNameWithUid(u"9"_s), u"未知"_s);
        QCOMPARE(m_model->getDisplayNameWithUid(QString()), u"未知"_s);
    }

    void addRules()
    {
        QVERIFY(!m_model->addWithUserInfo({ { u"u_name"_s, u"no id"_s } }));
        QVERIFY(!m_model->addWithUserInfo(user(QString(), u"n"_s)));
        QVERIFY(!m_model->addWithUserInfo(user(u"\n"_s, u"n"_s)));
        QVERIFY(!m_model->addWithServerUserInfo({ { u"u_id"_s, 42 } }));
        QVERIFY(m_model->addWithUserInfo(user(u"1"_s, u"n"_s)));
        QVERIFY(!m_model->addWithUserInfo(user(u"1"_s, u"again"_s))); // primary key

        // Local records store a lone line feed as empty text; service records store it as given,
        // and are always complete. Numbers are stored as their decimal text.
        QVariantMap local = user(u"2"_s, u"\n"_s);
        local.insert(u"u_age"_s, 33);
        local.insert(u"u_is_complete"_s, u"NO"_s);
        QVERIFY(m_model->addWithUserInfo(local));
        QCOMPARE(m_model->getWithUId(u"2"_s).value(u"u_name"_s), QVariant(u""_s));
        QCOMPARE(m_model->getWithUId(u"2"_s).value(u"u_age"_s), QVariant(u"33"_s));
        QCOMPARE(m_model->getWithUId(u"2"_s).value(u"u_is_complete"_s), QVariant(u"NO"_s));
        QVariantMap server = user(u"3"_s, u"\n"_s);
        server.insert(u"u_is_complete"_s, u"NO"_s);
        server.insert(u"u_latitude"_s, 1.5);
        server.insert(u"u_mobile"_s, QVariant::fromValue(nullptr));
        QVERIFY(m_model->addWithServerUserInfo(server));
        const QVariantMap stored = m_model->getWithUId(u"3"_s);
        QCOMPARE(stored.value(u"u_name"_s), QVariant(u"\n"_s));
        QCOMPARE(stored.value(u"u_is_complete"_s), QVariant(u"YES"_s));
        QCOMPARE(stored.value(u"u_latitude"_s), QVariant(u"1.5"_s));
        QCOMPARE(stored.value(u"u_mobile"_s), QVariant(u""_s));
        // The record has the 21 text columns and never u_updated.
        QCOMPARE(stored.size(), 21);
        QVERIFY(!stored.contains(u"u_updated"_s));
        QVERIFY(m_model->getWithUId(u"404"_s).isEmpty());
    }

    void valuesAreBound()
    {
        const QString id = u"o'brien\"; DROP TABLE User;--"_s;
        QVERIFY(m_model->addWithUserInfo(user(id, u"名字 'quoted'"_s)));
        QVERIFY(m_model->existsWithUid(id));
        QCOMPARE(m_model->getDisplayNameWithUid(id), u"名字 'quoted'"_s);
        QVERIFY(m_model->updateWithUid(id, { { u"u_alias"_s, u"a'b"_s } }));
        QCOMPARE(m_model->getDisplayNameWithUid(id), u"a'b(名字 'quoted')"_s);
        QVERIFY(!m_model->existsWithUid(u"o"_s));
    }

    void updates()
    {
        QVERIFY(m_model->addWithUserInfo(user(u"1"_s, u"name"_s, u"mine"_s)));
        m_nowMs += 5000;
        // All values empty: refused, nothing written.
        QVERIFY(!m_model->updateWithUid(u"1"_s, { { u"u_name"_s, u""_s }, { u"u_job"_s, u"\n"_s } }));
        QCOMPARE(rawValue(m_path, u"1"_s, u"u_updated"_s).toLongLong(), kT0);
        QCOMPARE(m_model->getWithUId(u"1"_s).value(u"u_name"_s), QVariant(u"name"_s));
        QVERIFY(!m_model->updateWithUid(QString(), { { u"u_name"_s, u"x"_s } }));
        // Non-empty values are written, the others left alone; an unknown id succeeds.
        QVERIFY(m_model->updateWithUid(u"1"_s, { { u"u_name"_s, u"new"_s }, { u"u_job"_s, u""_s } }));
        QCOMPARE(m_model->getWithUId(u"1"_s).value(u"u_name"_s), QVariant(u"new"_s));
        QCOMPARE(rawValue(m_path, u"1"_s, u"u_updated"_s).toLongLong(), kT0 + 5);
        QVERIFY(m_model->updateWithUid(u"nobody"_s, { { u"u_name"_s, u"x"_s } }));
        QVERIFY(!m_model->existsWithUid(u"nobody"_s));

        // From the service: the local alias stays, the record becomes complete.
        QVERIFY(m_model->updateWithServerUserInfo(user(u"1"_s, u"served"_s, u"theirs"_s)));
        QVariantMap stored = m_model->getWithUId(u"1"_s);
        QCOMPARE(stored.value(u"u_alias"_s), QVariant(u"mine"_s));
        QCOMPARE(stored.value(u"u_name"_s), QVariant(u"served"_s));
        QCOMPARE(stored.value(u"u_is_complete"_s), QVariant(u"YES"_s));
        QVERIFY(!m_model->updateWithServerUserInfo({ { u"u_name"_s, u"x"_s } }));

        // Replace: update when present (alias kept), insert otherwise.
        QVERIFY(m_model->replaceWithServerUserInfo(user(u"1"_s, u"again"_s, u"other"_s)));
        QCOMPARE(m_model->getDisplayNameWithUid(u"1"_s), u"mine(again)"_s);
        QVERIFY(m_model->replaceWithServerUserInfo(user(u"2"_s, u"fresh"_s, u"theirs"_s)));
        QCOMPARE(m_model->getDisplayNameWithUid(u"2"_s), u"theirs(fresh)"_s);
        QVERIFY(!m_model->replaceWithServerUserInfo({}));
    }

    void expiry()
    {
        m_nowMs = kT0 * 1000 + 499; // rounds down to kT0
        QVERIFY(m_model->addWithUserInfo(user(u"old"_s, u"n"_s)));
        QCOMPARE(rawValue(m_path, u"old"_s, u"u_updated"_s), QVariant(kT0));
        m_nowMs = (kT0 + 1) * 1000 - 500; // rounds up to kT0 + 1
        QVERIFY(m_model->addWithUserInfo(user(u"new"_s, u"n"_s)));
        QCOMPARE(rawValue(m_path, u"new"_s, u"u_updated"_s), QVariant(kT0 + 1));

        m_nowMs = (kT0 + 86400) * 1000;
        QCOMPARE(m_model->listExpiredUserIds(), QStringList());
        m_nowMs = (kT0 + 86401) * 1000;
        QCOMPARE(m_model->listExpiredUserIds(), QStringList(u"old"_s));
        m_nowMs = (kT0 + 86402) * 1000;
        QStringList both = m_model->listExpiredUserIds();
        both.sort();
        QCOMPARE(both, QStringList({ u"new"_s, u"old"_s }));
        // A write renews the row.
        QVERIFY(m_model->updateWithUid(u"old"_s, { { u"u_name"_s, u"renewed"_s } }));
        QCOMPARE(m_model->listExpiredUserIds(), QStringList(u"new"_s));
    }

    void refreshHandlersByName()
    {
        QVERIFY(m_model->addWithUserInfo(user(u"1"_s, u"before"_s, u"mine"_s)));
        const QVariant payload = QJsonDocument::fromJson(
            R"({"list":[{"u_id":"1","u_name":"after","u_alias":"x"},"junk",{"u_name":"no id"}]})")
                                     .toVariant();
        m_model->setUpdatingExpiredUser(true);
        QVERIFY(QMetaObject::invokeMethod(m_model.get(), "updateExpiredUsersSuccess", Q_ARG(QVariant, payload)));
        QVERIFY(!m_model->isUpdatingExpiredUser());
        QCOMPARE(m_model->getDisplayNameWithUid(u"1"_s), u"mine(after)"_s);

        m_model->setUpdatingExpiredUser(true);
        const QVariant error = QVariantMap { { u"code"_s, u"500"_s } };
        QVERIFY(QMetaObject::invokeMethod(m_model.get(), "updateExpiredUsersError", Q_ARG(QVariant, error)));
        QVERIFY(!m_model->isUpdatingExpiredUser());
    }

    void withoutDatabaseFolder()
    {
        const QString missing = TestEnvironment::root() + u"/nowhere/Database"_s;
        QSUserModel model(missing + u"/User.db"_s);
        model.ensureTable();
        QVERIFY(!model.hasConnection());
        QVERIFY(!QDir(missing).exists());
        QVERIFY(!model.addWithUserInfo(user(u"1"_s, u"n"_s)));
        QVERIFY(!model.addWithServerUserInfo(user(u"1"_s, u"n"_s)));
        QVERIFY(!model.replaceWithServerUserInfo(user(u"1"_s, u"n"_s)));
        QVERIFY(!model.updateWithUid(u"1"_s, user(u"1"_s, u"n"_s)));
        QVERIFY(model.getWithUId(u"1"_s).isEmpty());
        QVERIFY(!model.existsWithUid(u"1"_s));
        QCOMPARE(model.getDisplayNameWithUid(u"1"_s), u"未知"_s);
        QVERIFY(model.listExpiredUserIds().isEmpty());
    }

    // The shared instance lives in "Database" below the cache folder, made once for all threads.
    void sharedModel()
    {
        QCOMPARE(QSUserModel::defaultDatabasePath(), Config::userCacheDir() + u"/Database/User.db"_s);
        QVERIFY(QDir().mkpath(Config::userCacheDir() + u"/Database"_s));
        std::atomic<QSUserModel *> fromThreads[4] = {};
        QList<QThread *> threads;
        for (auto &slot : fromThreads)
            threads.append(QThread::create([&slot] { slot = QSUserModel::sharedModel(); }));
        for (QThread *thread : threads)
            thread->start();
        for (QThread *thread : threads) {
            QVERIFY(thread->wait(10000));
            delete thread;
        }
        QSUserModel *shared = QSUserModel::sharedModel();
        for (auto &slot : fromThreads)
            QCOMPARE(slot.load(), shared);
        QCOMPARE(shared->thread(), QCoreApplication::instance()->thread());
        QVERIFY(shared->hasConnection());
        QVERIFY(shared->addWithUserInfo(user(u"s"_s, u"shared"_s)));
        QVERIFY(QFile::exists(QSUserModel::defaultDatabasePath()));
    }
};

QUILLO_TEST_MAIN(TestQSUserModel)
#include "tst_qsusermodel.moc"
