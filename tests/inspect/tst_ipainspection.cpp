#include "RecordingDelegate.h"

#include "app/DataCheck.h"
#include "app/WorkFolder.h"
#include "inspect/PackageFormat.h"
#include "inspect/PackageInspector.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

using Fixtures::filesBelow;
using Fixtures::readAll;

bool setModified(const QString &path, qint64 secondsSinceEpoch)
{
    const struct timespec times[2] = {{static_cast<time_t>(secondsSinceEpoch), 0},
                                      {static_cast<time_t>(secondsSinceEpoch), 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

QString work()
{
    return WorkFolder::ensure();
}

const QStringList RecordKeys{u"appBuild"_s,   u"appName"_s,     u"appVersion"_s, u"createdDate"_s,
                             u"fileSize"_s,   u"iconPath"_s,    u"packageName"_s};

} // namespace

class TestIpaInspection : public QObject
{
    Q_OBJECT

    QString package(const QString &name, const QList<Fixtures::App> &apps = {Fixtures::App()},
                    const Fixtures::IpaOptions &options = Fixtures::IpaOptions())
    {
        const QString path = TestEnvironment::path(u"packages/"_s + name);
        if (!Fixtures::makeIpa(path, apps, options))
            qWarning("%s", qPrintable(Fixtures::lastError()));
        return path;
    }

    QVariantMap inspect(const QString &path, RecordingDelegate *delegate = nullptr)
    {
        RecordingDelegate local;
        RecordingDelegate *d = delegate ? delegate : &local;
        PackageInspector inspector(d);
        inspector.ParseIPA(path);
        return d->record;
    }

private Q_SLOTS:
    void cleanup() { QDir(WorkFolder::path()).removeRecursively(); }

    void fillsTheRecordAndPrepares()
    {
        const QString ipa = package(u"demo.ipa"_s);
        // 2024-03-05 14:07:00 in the test's time zone (C.UTF-8, so the marker is the C locale's).
        const QDateTime when(QDate(2024, 3, 5), QTime(14, 7));
        QVERIFY(setModified(ipa, when.toSecsSinceEpoch()));

        RecordingDelegate delegate;
        delegate.record.insert(u"shortcutUrl"_s, u"left-over"_s);
        PackageInspector inspector(&delegate);
        inspector.ParseIPA(ipa);

        QCOMPARE(delegate.calls, (QStringList{u"setFilePath"_s, u"setAppType"_s, u"prepareUpload"_s}));
        QCOMPARE(delegate.platforms, QStringList{u"ios"_s});
        QCOMPARE(delegate.filePath, ipa);
        QCOMPARE(delegate.appType, 1);
        const QVariantMap &record = delegate.recordAtPrepare;
        QCOMPARE(record.keys(), RecordKeys);
        QCOMPARE(record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QCOMPARE(record.value(u"appVersion"_s), QVariant(u"1.2.3"_s));
        QCOMPARE(record.value(u"appBuild"_s), QVariant(u"45"_s));
        QCOMPARE(record.value(u"appName"_s), QVariant(u"Demo"_s));
        QCOMPARE(record.value(u"fileSize"_s), QVariant(u"0.00MB"_s));
        QCOMPARE(record.value(u"createdDate"_s), QVariant(u"2024年03月05日 PM14:07"_s));
        const QString icon = work() + u"/Payload/Demo.app/Icon.png"_s;
        QCOMPARE(record.value(u"iconPath"_s), QVariant(icon));
        QVERIFY(readAll(icon).startsWith("\x89PNG"));
    }

    // Only the chosen application's Info.plist and Icon.png are written, and the clean-up takes
    // away exactly those (the exported package and foreign files stay).
    void unpacksOnlyWhatTheRecordNeeds()
    {
        Fixtures::IpaOptions options;
        Fixtures::Entry big;
        big.name = u"Payload/Demo.app/Frameworks/Engine.framework/Engine"_s;
        big.zeroBytes = 8 * 1024 * 1024;
        Fixtures::Entry assets;
        assets.name = u"Payload/Demo.app/Assets.car"_s;
        assets.content = "assets";
        Fixtures::Entry outside;
        outside.name = u"META-INF/signature"_s;
        outside.content = "sig";
        options.entries = {big, assets, outside};
        const QString ipa = package(u"parts.ipa"_s, {Fixtures::App()}, options);

        const QString folder = work();
        QFile exported(folder + u"/qlo.ipa"_s);
        QVERIFY(exported.open(QIODevice::WriteOnly));
        exported.write("exported package");
        exported.close();

        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        inspector.ParseIPA(ipa);
        QCOMPARE(filesBelow(folder), (QStringList{u"Payload"_s, u"Payload/Demo.app"_s, u"Payload/Demo.app/Icon.png"_s,
                                                  u"Payload/Demo.app/Info.plist"_s, u"qlo.ipa"_s}));
        QCOMPARE(inspector.unpackedPaths(),
                 (QStringList{folder + u"/Payload"_s, folder + u"/Payload/Demo.app"_s,
                              folder + u"/Payload/Demo.app/Info.plist"_s, folder + u"/Payload/Demo.app/Icon.png"_s}));

        inspector.removeUnpacked();
        QCOMPARE(filesBelow(folder), QStringList{u"qlo.ipa"_s});
        QVERIFY(inspector.unpackedPaths().isEmpty());

        // A file that is not ours keeps its folder.
        inspector.ParseIPA(ipa);
        QFile foreign(folder + u"/Payload/Demo.app/notes.txt"_s);
        QVERIFY(foreign.open(QIODevice::WriteOnly));
        foreign.close();
        inspector.removeUnpacked();
        QCOMPARE(filesBelow(folder), (QStringList{u"Payload"_s, u"Payload/Demo.app"_s,
                                                  u"Payload/Demo.app/notes.txt"_s, u"qlo.ipa"_s}));
    }

    void lastApplicationInNameOrderWins()
    {
        // Stored in an order whose last ".app" is another one than the last in name order.
        QList<Fixtures::App> apps;
        for (const QString &name : {u"Delta.app"_s, u"Bravo.app"_s, u"Foxtrot.app"_s, u"Alpha.app"_s,
                                    u"Golf.appex"_s, u"Echo.app"_s, u"Charlie.app"_s}) {
            Fixtures::App app;
            app.folder = name;
            app.info = Fixtures::infoPlist(u"com.example."_s + name.section(u'.', 0, 0).toLower());
            app.withIcon = false;
            apps.append(app);
        }
        const QVariantMap record = inspect(package(u"several.ipa"_s, apps));
        QCOMPARE(record.value(u"packageName"_s), QVariant(u"com.example.foxtrot"_s));
        QCOMPARE(record.value(u"iconPath"_s), QVariant(work() + u"/Payload/Foxtrot.app/Icon.png"_s));
    }

    void identityValueRules_data()
    {
        QTest::addColumn<QVariantMap>("info");
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("appBuild");
        const QVariantMap base = Fixtures::infoPlist(u"com.example"_s, u"1.0"_s, u"7"_s, u"Shown"_s);
        QVariantMap emptyDisplay = base;
        emptyDisplay.insert(u"CFBundleDisplayName"_s, u""_s);
        emptyDisplay.insert(u"CFBundleName"_s, u"Bundle"_s);
        QVariantMap lineFeedDisplay = emptyDisplay;
        lineFeedDisplay.insert(u"CFBundleDisplayName"_s, u"\n"_s);
        QVariantMap noDisplay = emptyDisplay;
        noDisplay.remove(u"CFBundleDisplayName"_s);
        QVariantMap neither = noDisplay;
        neither.remove(u"CFBundleName"_s);
        QVariantMap numberBuild = base;
        numberBuild.insert(u"CFBundleVersion"_s, 7);
        QVariantMap emptyBuild = base;
        emptyBuild.insert(u"CFBundleVersion"_s, u""_s);
        QTest::newRow("display name") << base << u"Shown"_s << u"7"_s;
        QTest::newRow("empty display name") << emptyDisplay << u"Bundle"_s << u"7"_s;
        QTest::newRow("line-feed display name") << lineFeedDisplay << u"Bundle"_s << u"7"_s;
        QTest::newRow("no display name") << noDisplay << u"Bundle"_s << u"7"_s;
        QTest::newRow("no name at all") << neither << u""_s << u"7"_s;
        QTest::newRow("number build") << numberBuild << u"Shown"_s << u""_s;
        QTest::newRow("empty build") << emptyBuild << u"Shown"_s << u""_s;
    }
    void identityValueRules()
    {
        QFETCH(QVariantMap, info);
        Fixtures::App app;
        app.info = info;
        const QVariantMap record = inspect(package(u"rules.ipa"_s, {app}));
        QTEST(record.value(u"appName"_s).toString(), "appName");
        QTEST(record.value(u"appBuild"_s).toString(), "appBuild");
        QCOMPARE(record.value(u"appBuild"_s).metaType(), QMetaType::fromType<QString>());
        QCOMPARE(record.value(u"packageName"_s), QVariant(u"com.example"_s));
    }

    void binaryInfoPlistGivesTheSameRecord()
    {
        Fixtures::App app;
        app.info.insert(u"CFBundleDisplayName"_s, u"演示 «App»"_s);
        const QVariantMap expected { { u"packageName"_s, u"com.example.demo"_s }, { u"appVersion"_s, u"1.2.3"_s },
            { u"appBuild"_s, u"45"_s }, { u"appName"_s, u"演示 «App»"_s },
            { u"iconPath"_s, QString(work() + u"/Payload/Demo.app/Icon.png"_s) } };
        for (const bool binary : { false, true }) {
            app.binaryPlist = binary;
            const QVariantMap record = inspect(package(binary ? u"binary.ipa"_s : u"xml.ipa"_s, { app }));
            for (auto it = expected.cbegin(); it != expected.cend(); ++it)
                QCOMPARE(record.value(it.key()), it.value());
        }
    }

    // A package without Icon.png names a missing file, even when an earlier package that was never
    // cleaned up left an icon at that very path.
    void missingIconNamesAMissingFile()
    {
        inspect(package(u"with-icon.ipa"_s));
        const QString icon = work() + u"/Payload/Demo.app/Icon.png"_s;
        QVERIFY(QFileInfo::exists(icon));
        Fixtures::App app;
        app.withIcon = false;
        const QVariantMap record = inspect(package(u"no-icon.ipa"_s, {app}));
        QCOMPARE(record.value(u"iconPath"_s), QVariant(icon));
        QVERIFY(!QFileInfo::exists(icon));
        QCOMPARE(record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
    }

    void utf8FolderNames()
    {
        Fixtures::App app;
        app.folder = u"演示 應用.app"_s;
        const QVariantMap record = inspect(package(u"utf8.ipa"_s, {app}));
        const QString icon = work() + u"/Payload/演示 應用.app/Icon.png"_s;
        QCOMPARE(record.value(u"iconPath"_s), QVariant(icon));
        QVERIFY(QFileInfo(icon).isFile());
        QCOMPARE(record.value(u"appVersion"_s), QVariant(u"1.2.3"_s));
    }

    // Unreadable packages still end in the prepare step, with empty identity values.
    void unreadablePackagesStillPrepare_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("not a zip") << u"text"_s;
        QTest::newRow("truncated") << u"truncated"_s;
        QTest::newRow("missing") << u"missing"_s;
        QTest::newRow("no Payload") << u"empty-zip"_s;
    }
    void unreadablePackagesStillPrepare()
    {
        QFETCH(QString, kind);
        const QString path = TestEnvironment::path(u"packages/bad-"_s + kind + u".ipa"_s);
        if (kind == u"text"_s) {
            QFile text(path);
            QVERIFY(text.open(QIODevice::WriteOnly));
            text.write("plain text, not a package");
        } else if (kind == u"truncated"_s) {
            const QByteArray whole = readAll(package(u"whole.ipa"_s));
            QFile cut(path);
            QVERIFY(cut.open(QIODevice::WriteOnly));
            cut.write(whole.left(whole.size() - 30));
        } else if (kind == u"empty-zip"_s) {
            Fixtures::IpaOptions options;
            Fixtures::Entry readme;
            readme.name = u"README"_s;
            readme.content = "x";
            options.entries = {readme};
            QVERIFY(Fixtures::makeIpa(path, {}, options));
        }
        RecordingDelegate delegate;
        delegate.record.insert(u"publishRange"_s, 2);
        PackageInspector inspector(&delegate);
        inspector.ParseIPA(path);
        QCOMPARE(delegate.platforms, QStringList{u"ios"_s});
        QCOMPARE(delegate.record.keys(), RecordKeys);
        for (const QString &key : {u"packageName"_s, u"appVersion"_s, u"appBuild"_s, u"appName"_s})
            QCOMPARE(delegate.record.value(key), QVariant(u""_s));
        QVERIFY(!QFileInfo::exists(delegate.record.value(u"iconPath"_s).toString()));
        QVERIFY(DataCheck::isValidString(delegate.record.value(u"createdDate"_s)));
        QCOMPARE(filesBelow(work()), QStringList());
    }

    // Hostile entries change nothing: the record is read, nothing lands outside the work folder,
    // and an Info.plist stored as a link is not followed.
    void hostilePackage()
    {
        const QString outside = TestEnvironment::path(u"outside/.keep"_s).section(u'/', 0, -2);
        const QString secret = outside + u"/secret.plist"_s;
        QVERIFY(Fixtures::makePlist(secret, Fixtures::infoPlist(u"com.example.secret"_s)));

        Fixtures::App linked;
        linked.folder = u"Linked.app"_s;
        linked.withPlist = false;
        Fixtures::IpaOptions options;
        Fixtures::Entry link;
        link.name = u"Payload/Linked.app/Info.plist"_s;
        link.linkTarget = secret;
        Fixtures::Entry slip;
        slip.name = u"Payload/AAAAAAAAAAAAAAAoutside/Info.plist"_s;
        slip.content = "overwritten";
        options.entries = {link, slip};
        const QString ipa = package(u"hostile.ipa"_s, {linked}, options);
        QVERIFY(Fixtures::renameEntry(ipa, u"AAAAAAAAAAAAAAA"_s, u"../../../../../"_s));

        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        inspector.ParseIPA(ipa);
        QCOMPARE(delegate.platforms, QStringList{u"ios"_s});
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u""_s));
        QCOMPARE(filesBelow(outside), QStringList{u"secret.plist"_s});
        QVERIFY(readAll(secret).contains("com.example.secret"));
        QCOMPARE(filesBelow(work()), (QStringList{u"Payload"_s, u"Payload/Linked.app"_s,
                                                  u"Payload/Linked.app/Icon.png"_s}));
    }

    void secondInspectionReplacesTheFirst()
    {
        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        inspector.ParseIPA(package(u"first.ipa"_s));
        delegate.record.insert(u"shortcutUrl"_s, u"abc"_s);
        delegate.record.insert(u"urlCanbeModified"_s, u"1"_s);
        Fixtures::App other;
        other.folder = u"Other.app"_s;
        other.info = Fixtures::infoPlist(u"com.example.other"_s, u"2.0"_s, u"9"_s, u"Other"_s);
        inspector.ParseIPA(package(u"second.ipa"_s, {other}));
        QCOMPARE(delegate.record.keys(), RecordKeys);
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.other"_s));
        // What the first inspection unpacked is gone; only the second one's files are there.
        QCOMPARE(filesBelow(work()), (QStringList{u"Payload"_s, u"Payload/Other.app"_s,
                                                  u"Payload/Other.app/Icon.png"_s, u"Payload/Other.app/Info.plist"_s}));
    }

    void fileSizeInSinglePrecision_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << qint64(0) << u"0.00MB"_s;
        QTest::newRow("1 MiB") << qint64(1048576) << u"1.00MB"_s;
        QTest::newRow("50 MiB") << qint64(52428800) << u"50.00MB"_s;
        QTest::newRow("float rounding") << qint64(100039396) << u"95.40MB"_s;
        QTest::newRow("over 4 GiB") << qint64(5000000000) << u"4768.37MB"_s;
    }
    void fileSizeInSinglePrecision()
    {
        QFETCH(qint64, bytes);
        QTEST(PackageFormat::fileSize(bytes), "text");
    }

    // The package's own size, through the whole inspection (a sparse file costs no disk).
    void fileSizeOfASparsePackage()
    {
        const QString path = TestEnvironment::path(u"packages/sparse.ipa"_s);
        QFile sparse(path);
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(100039396));
        sparse.close();
        QCOMPARE(inspect(path).value(u"fileSize"_s), QVariant(u"95.40MB"_s));
    }

    void dateUsesTheLocalesDayPeriodAndLocalTime()
    {
        const QByteArray savedZone = qgetenv("TZ");
        qputenv("TZ", "Asia/Shanghai");
        const QDateTime afternoon(QDate(2024, 3, 5), QTime(6, 7, 8), Qt::UTC); // 14:07 in Shanghai
        const QDateTime morning(QDate(2024, 12, 31), QTime(1, 5), Qt::UTC); // 09:05
        const QString chinese = PackageFormat::date(afternoon, QLocale(QLocale::Chinese, QLocale::China));
        const QString chineseMorning = PackageFormat::date(morning, QLocale(QLocale::Chinese, QLocale::China));
        const QString english = PackageFormat::date(afternoon, QLocale(QLocale::English, QLocale::UnitedStates));
        const QString invalid = PackageFormat::date(QDateTime(), QLocale::c());
        if (savedZone.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", savedZone);
        QCOMPARE(chinese, u"2024年03月05日 下午14:07"_s);
        QCOMPARE(chineseMorning, u"2024年12月31日 上午09:05"_s);
        QCOMPARE(english, u"2024年03月05日 PM14:07"_s);
        QVERIFY(invalid.isEmpty());
    }

    // Without a delegate: nothing is written unless asked, the icon comes as bytes.
    void synchronousInspection()
    {
        const QString ipa = package(u"sync.ipa"_s);
        const PackageInspector::Identity identity = PackageInspector::inspect(ipa);
        QVERIFY(identity.ok);
        QCOMPARE(identity.appType, 1);
        QCOMPARE(identity.appInfo.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QCOMPARE(identity.appInfo.value(u"appBuild"_s), QVariant(u"45"_s));
        QVERIFY(identity.icon.startsWith("\x89PNG"));
        QCOMPARE(filesBelow(WorkFolder::path()), QStringList());

        const QString elsewhere = TestEnvironment::path(u"unpacked"_s);
        const PackageInspector::Identity unpacked = PackageInspector::inspect(ipa, 0, elsewhere);
        QCOMPARE(unpacked.appInfo.value(u"iconPath"_s), QVariant(elsewhere + u"/Payload/Demo.app/Icon.png"_s));
        QCOMPARE(readAll(elsewhere + u"/Payload/Demo.app/Icon.png"_s), identity.icon);

        QFile text(TestEnvironment::path(u"packages/text.ipa"_s));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("nope");
        text.close();
        const PackageInspector::Identity bad = PackageInspector::inspect(text.fileName());
        QVERIFY(!bad.ok);
        QVERIFY(!bad.error.isEmpty());
        QCOMPARE(bad.appInfo.value(u"packageName"_s), QVariant(u""_s));
        QVERIFY(!PackageInspector::inspect(TestEnvironment::path(u"packages/x.zip"_s)).ok);
    }

    // A work folder that cannot be used safely (here: a link) gets nothing written through it;
    // the identity is still read.
    void unsafeWorkFolderIsNotUsed()
    {
        const QByteArray saved = qgetenv("QUILLO_WORK_DIR");
        const QString target = TestEnvironment::path(u"link-target/.keep"_s).section(u'/', 0, -2);
        const QString link = TestEnvironment::root() + u"/work-link"_s;
        QVERIFY(QFile::link(target, link));
        qputenv("QUILLO_WORK_DIR", QFile::encodeName(link));
        const QString ipa = package(u"unsafe.ipa"_s);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"refused"_s));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"Nothing unpacked"_s));
        const QVariantMap record = inspect(ipa);
        qputenv("QUILLO_WORK_DIR", saved);
        QCOMPARE(record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QCOMPARE(filesBelow(target), QStringList());
    }
};

QUILLO_TEST_MAIN(TestIpaInspection)
#include "tst_ipainspection.moc"
