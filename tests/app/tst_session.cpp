#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSEnvironmentModel.h"
#include "app/QSLoginModel.h"
#include "app/QSSettingModel.h"
#include "tests/support/TestEnvironment.h"

#include <QFile>
#include <QThread>

using namespace Qt::StringLiterals;

class TestSession : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        QFile::remove(qEnvironmentVariable("QUILLO_SETTINGS_FILE"));
        Preferences::reload();
    }

    void loginNeedsExactly32Characters_data()
    {
        QTest::addColumn<QVariant>("uid");
        QTest::addColumn<bool>("logged");
        QTest::newRow("31") << QVariant(QString(31, u'a')) << false;
        QTest::newRow("32") << QVariant(QString(32, u'a')) << true;
        QTest::newRow("33") << QVariant(QString(33, u'a')) << false;
        QTest::newRow("logout marker") << QVariant(u"0"_s) << false;
        QTest::newRow("empty") << QVariant(u""_s) << false;
        QTest::newRow("number") << QVariant(12345678) << false;
        QTest::newRow("32 UTF-16 units") << QVariant(QString(32, QChar(0x4E2D))) << true;
    }
    void loginNeedsExactly32Characters()
    {
        QFETCH(QVariant, uid);
        QFETCH(bool, logged);
        QVERIFY(!QSLoginModel::isLogged());
        QSLoginModel::setLoginWithUId(uid, QVariantMap{{u"u_api_token"_s, u"t"_s}});
        QCOMPARE(QSLoginModel::isLogged(), logged);
    }

    void logoutRemovesTheCredentialsAndKeepsTheRest()
    {
        const QString uid(32, u'k');
        const QVariantMap record{{u"userKey"_s, uid}, {u"u_api_token"_s, u"t0k-5150"_s}, {u"name"_s, u"张三"_s}};
        QSLoginModel::setLoginWithUId(uid, record);
        QVERIFY(QSLoginModel::isLogged());
        QCOMPARE(QSLoginModel::currentUid().toString(), uid);

        QSLoginModel::setLogout();
        const QVariantMap rest{{u"name"_s, u"张三"_s}};
        QVERIFY(!QSLoginModel::isLogged());
        QCOMPARE(QSLoginModel::currentUid(), QVariant(u"0"_s));
        QCOMPARE(QSLoginModel::currentUserInfo().toMap(), rest);

        // Both writes were flushed: a fresh store on the same file sees them, and the file holds
        // neither credential.
        Preferences::reload();
        QCOMPARE(QSLoginModel::currentUid(), QVariant(u"0"_s));
        QCOMPARE(QSLoginModel::currentUserInfo().toMap(), rest);
        QFile file(Config::settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray stored = file.readAll();
        QVERIFY2(stored.contains("张三") && !stored.contains(uid.toUtf8()) && !stored.contains("t0k-5150")
                     && !stored.contains("userKey") && !stored.contains("u_api_token"),
                 stored.constData());
    }

    void absentSessionIsNotLogged()
    {
        QVERIFY(!QSLoginModel::currentUid().isValid());
        QVERIFY(!QSLoginModel::currentUserInfo().isValid());
        QVERIFY(!QSLoginModel::isLogged());
    }

    void autoLoginCopiesIntoTheEnvironment()
    {
        QSEnvironmentModel *environment = QSEnvironmentModel::sharedEnvironment();
        environment->setData({{QSLoginModel::kLoggedUserInfoKey, u"earlier"_s}});
        Preferences::setValue(QSLoginModel::kLoggedUidKey, QString(32, u'u'));
        QSLoginModel::setAutoLogin();
        QCOMPARE(environment->objectForKey(QSLoginModel::kLoggedUidKey).toString(), QString(32, u'u'));
        // No stored record: the earlier entry is left alone.
        QCOMPARE(environment->objectForKey(QSLoginModel::kLoggedUserInfoKey).toString(), u"earlier"_s);
    }

    void settingModelUsesItsPrefix()
    {
        QCOMPARE(QSSettingModel::getKey(u"x"_s), u"setting_x"_s);
        QSSettingModel::setValue(u"v"_s, u"x"_s);
        QCOMPARE(Preferences::value(u"setting_x"_s), QVariant(u"v"_s));
        QVERIFY(!Preferences::value(u"x"_s).isValid());
    }

    void setDefaultValueKeepsAStoredValue()
    {
        QCOMPARE(QSSettingModel::setDefaultValueWith(u"first"_s, u"k"_s), QVariant(u"first"_s));
        QCOMPARE(QSSettingModel::valueForKey(u"k"_s), QVariant(u"first"_s));
        QCOMPARE(QSSettingModel::setDefaultValueWith(u"second"_s, u"k"_s), QVariant(u"second"_s));
        QCOMPARE(QSSettingModel::valueForKey(u"k"_s), QVariant(u"first"_s));
    }

    void environmentIgnoresAbsentValues()
    {
        QSEnvironmentModel *environment = QSEnvironmentModel::sharedEnvironment();
        environment->setObject(u"v"_s, u"k"_s);
        environment->setObject(QVariant(), u"k"_s);
        QCOMPARE(environment->objectForKey(u"k"_s), QVariant(u"v"_s));
        environment->setObject(u"w"_s, QString());
        QVERIFY(!environment->data().contains(QString()));
    }

    void sharedEnvironmentIsOneInstanceAcrossThreads()
    {
        QList<QSEnvironmentModel *> seen(8, nullptr);
        QList<QThread *> threads;
        for (int i = 0; i < seen.size(); ++i)
            threads.append(QThread::create([&seen, i] { seen[i] = QSEnvironmentModel::sharedEnvironment(); }));
        for (QThread *thread : threads)
            thread->start();
        for (QThread *thread : threads) {
            thread->wait();
            delete thread;
        }
        for (QSEnvironmentModel *instance : seen)
            QCOMPARE(instance, QSEnvironmentModel::sharedEnvironment());
    }

    void onOffSettingsReadOnlyOneAsOn_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("on");
        QTest::newRow("\"1\"") << QVariant(u"1"_s) << true;
        QTest::newRow("number 1") << QVariant(1) << true;
        QTest::newRow("\"2\"") << QVariant(u"2"_s) << false;
        QTest::newRow("\"0\"") << QVariant(u"0"_s) << false;
        QTest::newRow("non-numeric") << QVariant(u"on"_s) << false;
        QTest::newRow("absent") << QVariant() << false;
        QTest::newRow("dictionary") << QVariant(QVariantMap{{u"a"_s, 1}}) << false;
    }
    void onOffSettingsReadOnlyOneAsOn()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, on);
        if (stored.isValid())
            Preferences::setValue(u"isAutoUpdate"_s, stored);
        QCOMPARE(Preferences::intValue(u"isAutoUpdate"_s) == 1, on);
    }
};

QUILLO_TEST_MAIN(TestSession)
#include "tst_session.moc"
