#include "app/Config.h"
#include "app/WorkFolder.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

class TestConfig : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void serviceHost_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("apiBase");
        QTest::addColumn<QString>("page");
        QTest::newRow("host and port") << u"127.0.0.1:8690"_s << u"127.0.0.1:8690"_s << u"http://127.0.0.1:8690/apiv1"_s
                                       << u"http://127.0.0.1:8690/abc"_s;
        QTest::newRow("plain host") << u"example.test"_s << u"example.test"_s << u"http://example.test/apiv1"_s
                                    << u"http://example.test/abc"_s;
        QTest::newRow("http base") << u"http://h:81/"_s << u"h:81"_s << u"http://h:81/apiv1"_s << u"http://h:81/abc"_s;
        QTest::newRow("https base") << u"https://h"_s << u"h"_s << u"https://h/apiv1"_s << u"https://h/abc"_s;
    }
    void serviceHost()
    {
        QFETCH(QString, configured);
        qputenv("QUILLO_SERVICE_HOST", configured.toUtf8());
        QTEST(Config::serviceHost(), "host");
        QTEST(Config::apiBase(), "apiBase");
        QTEST(Config::serviceUrl(u"/abc"_s), "page");
        qputenv("QUILLO_SERVICE_HOST", "127.0.0.1:9");
    }

    void defaultsWhenNotConfigured()
    {
        const QByteArray saved = qgetenv("QUILLO_XCODEBUILD");
        qunsetenv("QUILLO_XCODEBUILD");
        QCOMPARE(Config::xcodebuildPath(), u"/usr/bin/xcodebuild"_s);
        qputenv("QUILLO_XCODEBUILD", saved);
        QCOMPARE(Config::archivesDir(), QDir::homePath() + u"/Library/Developer/Xcode/Archives"_s);
        QVERIFY(Config::archivesDir().startsWith(TestEnvironment::root()));
    }

    void workFolderIsPrivate()
    {
        const QString folder = WorkFolder::ensure();
        QVERIFY(!folder.isEmpty());
        struct stat st {};
        QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0700u);
        QVERIFY(WorkFolder::contains(folder + u"/Payload/A.app/Info.plist"_s));
        QVERIFY(!WorkFolder::contains(folder + u"/../elsewhere"_s));
        QVERIFY(!WorkFolder::contains(folder));
    }

    void workFolderLooseModeIsTightened()
    {
        const QString folder = TestEnvironment::path(u"loose/work"_s);
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(folder).constData(), 0777);
        qputenv("QUILLO_WORK_DIR", QFile::encodeName(folder));
        QCOMPARE(WorkFolder::ensure(), folder);
        struct stat st {};
        ::lstat(QFile::encodeName(folder).constData(), &st);
        QCOMPARE(st.st_mode & 07777, 0700u);
    }

    void workFolderThatIsALinkIsRefused()
    {
        const QString target = TestEnvironment::path(u"elsewhere"_s);
        QDir().mkpath(target);
        const QString link = TestEnvironment::path(u"planted"_s);
        QVERIFY(QFile::link(target, link));
        qputenv("QUILLO_WORK_DIR", QFile::encodeName(link));
        QString error;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"symbolic link"_s));
        QCOMPARE(WorkFolder::ensure(&error), QString());
        QVERIFY(error.contains(u"symbolic link"_s));
        qputenv("QUILLO_WORK_DIR", QFile::encodeName(TestEnvironment::root() + u"/work"_s));
    }
};

QUILLO_TEST_MAIN(TestConfig)
#include "tst_config.moc"
