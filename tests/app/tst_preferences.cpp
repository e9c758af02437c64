#include "app/Preferences.h"
#include "tests/support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

class TestPreferences : public QObject
{
    Q_OBJECT

    QString m_file;

    QString probe() const { return QCoreApplication::applicationDirPath() + u"/prefs_probe"_s; }

    QString runProbe(const QStringList &args)
    {
        QProcess process;
        process.start(probe(), args);
        if (!process.waitForFinished(30000) || process.exitCode() != 0)
            return u"probe failed: "_s + QString::fromUtf8(process.readAllStandardError());
        return QString::fromUtf8(process.readAllStandardOutput());
    }

private Q_SLOTS:
    void init()
    {
        m_file = qEnvironmentVariable("QUILLO_SETTINGS_FILE");
        QFile::remove(m_file);
        Preferences::reload();
    }

    void typesSurviveARestart()
    {
        // One process writes, another reads: what comes back is what was written, type included.
        QCOMPARE(runProbe({u"write"_s}), QString());
        const QString dump = runProbe({u"dump"_s, u"string1"_s, u"number1"_s, u"double"_s, u"bool"_s, u"chinese"_s,
                                        u"dictionary"_s, u"array"_s, u"missing"_s});
        const QStringList lines = dump.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 8);
        QCOMPARE(lines[0], u"string1\tQString\t[\"1\"]"_s);
        QCOMPARE(lines[1], u"number1\tqlonglong\t[1]"_s);
        QCOMPARE(lines[2], u"double\tdouble\t[2.5]"_s);
        QCOMPARE(lines[3], u"bool\tbool\t[true]"_s);
        QCOMPARE(lines[4], u"chinese\tQString\t[\"偏好设置\"]"_s);
        QCOMPARE(lines[5], u"dictionary\tQVariantMap\t[{\"n\":3,\"u_api_token\":\"tok\"}]"_s);
        QCOMPARE(lines[6], u"array\tQVariantList\t[[\"a\",2,{\"k\":\"v\"}]]"_s);
        QCOMPARE(lines[7], u"missing\tabsent\t[null]"_s);

        // And this process reads the same.
        Preferences::reload();
        QCOMPARE(Preferences::value(u"string1"_s).typeId(), QMetaType::QString);
        QVERIFY(Preferences::value(u"number1"_s).typeId() != QMetaType::QString);
        QCOMPARE(Preferences::value(u"dictionary"_s).toMap().value(u"u_api_token"_s), QVariant(u"tok"_s));
    }

    void fileIsPrivate()
    {
        Preferences::setValue(u"ENV_LOGGED_USERINFO"_s, QVariantMap{{u"u_api_token"_s, u"secret"_s}});
        QVERIFY(Preferences::flush());
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(m_file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        // A second write replaces the file and keeps it private.
        Preferences::setValue(u"x"_s, u"1"_s);
        QVERIFY(Preferences::flush());
        QCOMPARE(::stat(QFile::encodeName(m_file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
    }

    void corruptFileReadsAsEmptyAndIsReplaced_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("garbage") << QByteArray("\x00\xff garbage", 10);
        QTest::newRow("truncated") << QByteArray("{\"ENV_LOGGED_UID\": \"abcdefabcdefabcdefabcdefabcdefab\", \"isAu");
        QTest::newRow("wrong shape") << QByteArray("[\"ENV_LOGGED_UID\"]");
        QTest::newRow("scalar") << QByteArray("42");
    }
    void corruptFileReadsAsEmptyAndIsReplaced()
    {
        QFETCH(QByteArray, content);
        {
            QFile file(m_file);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        Preferences::reload();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"not a JSON object"_s));
        QVERIFY(!Preferences::value(u"ENV_LOGGED_UID"_s).isValid());
        QCOMPARE(Preferences::intValue(u"isAutoUpdate"_s), 0);

        Preferences::setValue(u"isAutoUpdate"_s, u"1"_s);
        QVERIFY(Preferences::flush());
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        QVERIFY(document.isObject());
        QCOMPARE(document.object().value(u"isAutoUpdate"_s).toString(), u"1"_s);
    }

    // A writer killed right after creating the lock file leaves it empty (the kills below hit that
    // moment now and then). The next write takes it over instead of waiting the 30 s after which
    // QSettings alone would count it as stale.
    void emptyLockFileLeftByAKilledWriter()
    {
        QFile lock(m_file + u".lock"_s);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.close();
        Preferences::setValue(u"isAutoUpdate"_s, u"1"_s);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(Preferences::flush());
        QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!lock.exists());
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object().value(u"isAutoUpdate"_s).toString(), u"1"_s);
    }

    void killDuringWritesLeavesAWholeFile()
    {
        // A writer killed at an arbitrary moment leaves the file of one complete write.
        for (int round = 0; round < 5; ++round) {
            QProcess writer;
            writer.start(probe(), {u"hammer"_s});
            QVERIFY(writer.waitForReadyRead(30000));
            QTest::qWait(37 * (round + 1));
            writer.kill();
            writer.waitForFinished();

            QFile file(m_file);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
            QVERIFY2(!object.isEmpty(), "the file is not a whole JSON object");
            const int counter = object.value(u"counter"_s).toInt(-1);
            const QString blob = object.value(u"blob"_s).toString();
            QVERIFY(counter >= 2);
            QCOMPARE(blob.size(), 256 * 1024);
            QCOMPARE(blob.count(QChar(u'a' + counter % 26)), blob.size());
        }
    }
};

QUILLO_TEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
