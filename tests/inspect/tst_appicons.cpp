// Which icon a package or an archive shows, end to end: packages and archives made by the real
// tools (zip, plistutil, aapt, ImageMagick, cwebp) with crushed icons from the fixtures' crusher,
// inspected as the programs do; the icon written is checked by ImageMagick and pngcheck.

#include "app/WorkFolder.h"
#include "inspect/ArchiveIcon.h"
#include "inspect/PackageInspector.h"
#include "inspect/QDArchiveModel.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;
using Fixtures::filesBelow;
using Fixtures::readAll;
using IconFiles = QMap<QString, QByteArray>;

Q_DECLARE_METATYPE(Fixtures::Apk)

namespace {

// Width of an image file as ImageMagick reads it, -1 when it cannot.
int widthOf(const QString &path)
{
    QProcess identify;
    identify.start(u"identify"_s, { u"-format"_s, u"%w"_s, path });
    if (!identify.waitForFinished(30000) || identify.exitCode() != 0)
        return -1;
    return identify.readAllStandardOutput().toInt();
}

bool pngcheck(const QString &path)
{
    QProcess check;
    check.start(u"pngcheck"_s, { u"-q"_s, path });
    return check.waitForFinished(30000) && check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0;
}

QVariantMap primaryIcon(const QStringList &names)
{
    return { { u"CFBundlePrimaryIcon"_s,
        QVariantMap { { u"CFBundleIconFiles"_s, QVariantList(names.begin(), names.end()) } } } };
}

// Warnings of the inspection, counted while one lives.
struct WarningCounter
{
    static inline int count = 0;
    QtMessageHandler previous;
    WarningCounter()
    {
        count = 0;
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &) {
            if (type == QtWarningMsg && QByteArray(context.category) == "quillo.inspect")
                ++count;
        });
    }
    ~WarningCounter() { qInstallMessageHandler(previous); }
};

} // namespace

class TestAppIcons : public QObject
{
    Q_OBJECT

    int m_made = 0;

    // An icon file's bytes: crushed (options for the crusher) or, with plain, an ordinary PNG.
    QByteArray icon(int size, bool plain = false, const QStringList &options = {})
    {
        const QString path = TestEnvironment::path(u"icon-%1.png"_s.arg(++m_made));
        const bool made = plain ? Fixtures::makeIcon(path, size) : Fixtures::makeCrushedIcon(path, size, options);
        return made ? readAll(path) : QByteArray();
    }

    static QString work() { return WorkFolder::path(); }

private Q_SLOTS:
    void init() { QDir(work()).removeRecursively(); }

    // One .ipa per naming scheme: the icon chosen, written as an ordinary PNG at its own size.
    void ipaNamingSchemes_data()
    {
        QTest::addColumn<QVariantMap>("info");
        QTest::addColumn<IconFiles>("files");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("width");

        QTest::newRow("Icon.png at the top stays the icon")
            << QVariantMap { { u"CFBundleIcons"_s, primaryIcon({ u"AppIcon60x60"_s }) } }
            << IconFiles { { u"Icon.png"_s, icon(57, true) }, { u"AppIcon60x60@3x.png"_s, icon(180) } } << u"Icon.png"_s
            << 57;
        QTest::newRow("CFBundleIcons: @2x and @3x")
            << QVariantMap { { u"CFBundleIcons"_s, primaryIcon({ u"AppIcon60x60"_s }) } }
            << IconFiles { { u"AppIcon60x60@2x.png"_s, icon(120) }, { u"AppIcon60x60@3x.png"_s, icon(180) } }
            << u"AppIcon60x60@3x.png"_s << 180;
        QTest::newRow("CFBundleIcons~ipad: the larger iPad icon")
            << QVariantMap { { u"CFBundleIcons"_s, primaryIcon({ u"AppIcon60x60"_s }) },
                   { u"CFBundleIcons~ipad"_s, primaryIcon({ u"AppIcon60x60"_s, u"AppIcon76x76"_s }) } }
            << IconFiles { { u"AppIcon60x60@2x.png"_s, icon(120) }, { u"AppIcon76x76@2x~ipad.png"_s, icon(152) },
                   { u"AppIcon76x76~ipad.png"_s, icon(76) } }
            << u"AppIcon76x76@2x~ipad.png"_s << 152;
        QTest::newRow("CFBundleIconFiles, names with and without .png")
            << QVariantMap { { u"CFBundleIconFiles"_s, QVariantList { u"Icon-72.png"_s, u"Icon-Small"_s } } }
            << IconFiles { { u"Icon-72.png"_s, icon(72, true) }, { u"Icon-Small@2x.png"_s, icon(58) } }
            << u"Icon-72.png"_s << 72;
        QTest::newRow("CFBundleIconFile")
            << QVariantMap { { u"CFBundleIconFile"_s, u"Launcher"_s } }
            << IconFiles { { u"Launcher.png"_s, icon(64) }, { u"AppIcon.png"_s, icon(90) } } << u"Launcher.png"_s << 64;
        QTest::newRow("no names: AppIcon* and Icon* at the top")
            << QVariantMap {}
            << IconFiles { { u"AppIcon40x40@2x.png"_s, icon(80) }, { u"Icon-Large.png"_s, icon(90) },
                   { u"Other.png"_s, icon(200) }, { u"Sub/AppIcon.png"_s, icon(300) } }
            << u"Icon-Large.png"_s << 90;
        QTest::newRow("a name in another case")
            << QVariantMap { { u"CFBundleIconFiles"_s, QVariantList { u"appicon"_s } } }
            << IconFiles { { u"AppIcon@2x.png"_s, icon(100) } } << u"AppIcon@2x.png"_s << 100;
        QTest::newRow("interlaced RGB, IDAT in small chunks")
            << QVariantMap { { u"CFBundleIconFiles"_s, QVariantList { u"AppIcon"_s } } }
            << IconFiles { { u"AppIcon.png"_s,
                   icon(50, false, { u"--interlace"_s, u"--rgb"_s, u"--split"_s, u"64"_s }) } }
            << u"AppIcon.png"_s << 50;
    }
    void ipaNamingSchemes()
    {
        QFETCH(QVariantMap, info);
        QFETCH(IconFiles, files);
        QFETCH(QString, expected);
        Fixtures::App app;
        app.withIcon = false;
        app.info.insert(info);
        app.files = files;
        const QString ipa = TestEnvironment::path(u"scheme.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, { app }), qPrintable(Fixtures::lastError()));

        const PackageInspector::Identity identity = PackageInspector::inspect(ipa, 0, work());
        QVERIFY2(identity.ok, qPrintable(identity.error));
        const QString iconPath = identity.appInfo.value(u"iconPath"_s).toString();
        QCOMPARE(iconPath, work() + u"/Payload/Demo.app/"_s + expected);
        QVERIFY(pngcheck(iconPath));
        QTEST(widthOf(iconPath), "width");
        QCOMPARE(readAll(iconPath), identity.icon);
        for (const QString &written : filesBelow(work()))
            QVERIFY2(written == u"Payload"_s || written.startsWith(u"Payload/Demo.app"_s), qPrintable(written));
    }

    // Bad icons: the default icon (a path to no file, no icon bytes), one log line, nothing
    // written but the Info.plist.
    void badIconsGiveTheDefault_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char *damage :
            { "wrong chunk length", "truncated stream", "100000 x 100000 header", "a name leading outside" })
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }
    void badIconsGiveTheDefault()
    {
        QFETCH(QString, damage);
        QByteArray bytes = icon(60);
        const qsizetype idat = bytes.indexOf("IDAT") - 4;
        QVariantMap info { { u"CFBundleIconFiles"_s, QVariantList { u"AppIcon"_s } } };
        if (damage == u"wrong chunk length"_s)
            bytes[idat] = char(0x40);
        else if (damage == u"truncated stream"_s)
            bytes.truncate(idat + 40);
        else if (damage == u"100000 x 100000 header"_s)
            bytes.replace(32, 8, QByteArray("\x00\x01\x86\xa0\x00\x01\x86\xa0", 8));
        else
            info = { { u"CFBundleIconFiles"_s, QVariantList { u"../../AppIcon"_s } } };
        Fixtures::App app;
        app.withIcon = false;
        app.info.insert(info);
        app.files = { { damage == u"a name leading outside"_s ? u"Sub/AppIcon.png"_s : u"AppIcon.png"_s, bytes } };
        const QString ipa = TestEnvironment::path(u"bad.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, { app }), qPrintable(Fixtures::lastError()));

        WarningCounter warnings;
        const PackageInspector::Identity identity = PackageInspector::inspect(ipa, 0, work());
        QCOMPARE(WarningCounter::count, 1);
        QVERIFY(identity.ok);
        QCOMPARE(identity.appInfo.value(u"iconPath"_s).toString(), work() + u"/Payload/Demo.app/Icon.png"_s);
        QVERIFY(identity.icon.isEmpty());
        QCOMPARE(filesBelow(work()),
            (QStringList { u"Payload"_s, u"Payload/Demo.app"_s, u"Payload/Demo.app/Info.plist"_s }));
    }

    // An icon entry of 2 GiB is not read at all.
    void aHugeIconEntryIsLeftAlone()
    {
        const QString ipa = Fixtures::cached(u"huge-icon-entry-2GiB.ipa"_s, [](const QString &path) {
            Fixtures::App app;
            app.withIcon = false;
            app.info.insert(u"CFBundleIconFiles"_s, QVariantList { u"AppIcon"_s });
            Fixtures::IpaOptions options;
            options.level = 1;
            Fixtures::Entry entry;
            entry.name = u"Payload/Demo.app/AppIcon.png"_s;
            entry.zeroBytes = 2LL * 1024 * 1024 * 1024;
            options.entries = { entry };
            return Fixtures::makeIpa(path, { app }, options);
        });
        QVERIFY2(!ipa.isEmpty(), qPrintable(Fixtures::lastError()));
        WarningCounter warnings;
        const PackageInspector::Identity identity = PackageInspector::inspect(ipa, 0, work());
        QCOMPARE(WarningCounter::count, 1);
        QVERIFY(identity.ok && identity.icon.isEmpty());
        QVERIFY(!QFileInfo::exists(identity.appInfo.value(u"iconPath"_s).toString()));
    }

    // An archive: the icons its own Info.plist names, decoded once into the work folder and found
    // there by the next scan; a changed icon is decoded anew and the old copy goes.
    void archiveIconsAreDecodedOnce()
    {
        const QString dir = TestEnvironment::path(u"Archives/2024-05-01/Demo.xcarchive"_s);
        Fixtures::Archive archive;
        archive.app.withIcon = false;
        archive.app.files = { { u"AppIcon60x60@2x.png"_s, icon(120) }, { u"AppIcon60x60@3x.png"_s, icon(180) } };
        archive.archiveInfo = QVariantMap { { u"ApplicationProperties"_s,
            QVariantMap { { u"IconPaths"_s,
                QVariantList { u"../../../outside.png"_s, u"Applications/Demo.app/AppIcon60x60@2x.png"_s,
                    u"Applications/Demo.app/AppIcon60x60@3x.png"_s } } } } };
        QVERIFY2(Fixtures::makeArchive(dir, archive), qPrintable(Fixtures::lastError()));

        const QString first = QDArchiveModel(dir).iconPath().value_or(QString());
        QVERIFY2(first.startsWith(ArchiveIcon::cacheFolder() + u'/'), qPrintable(first));
        QVERIFY(pngcheck(first));
        QCOMPARE(widthOf(first), 180);
        const QDateTime written = QFileInfo(first).lastModified();

        QCOMPARE(QDArchiveModel(dir).iconPath(), first);
        QCOMPARE(QFileInfo(first).lastModified(), written); // found, not decoded again

        const QString source = dir + u"/Products/Applications/Demo.app/AppIcon60x60@3x.png"_s;
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(icon(200)) > 0);
        file.close();
        const QString second = QDArchiveModel(dir).iconPath().value_or(QString());
        QVERIFY(second != first);
        QCOMPARE(widthOf(second), 200);
        QCOMPARE(QFileInfo(second).absolutePath(), QFileInfo(first).absolutePath());
        QVERIFY(!QFileInfo::exists(first)); // the older copy went
        QCOMPARE(QDir(QFileInfo(second).absolutePath()).entryList(QDir::Files).size(), 1);
    }

    // Without the archive's Info.plist the application's own names count; an ordinary PNG is shown
    // where it lies.
    void archiveWithoutItsOwnInfoPlist()
    {
        const QString dir = TestEnvironment::path(u"Archives/2024-05-02/Plain.xcarchive"_s);
        Fixtures::Archive archive;
        archive.app.withIcon = false;
        archive.app.info.insert(u"CFBundleIcons"_s, primaryIcon({ u"AppIcon60x60"_s }));
        archive.app.files = { { u"AppIcon60x60@2x.png"_s, icon(120, true) }, { u"AppIcon60x60.png"_s, icon(60) } };
        QVERIFY2(Fixtures::makeArchive(dir, archive), qPrintable(Fixtures::lastError()));
        QCOMPARE(QDArchiveModel(dir).iconPath(), dir + u"/Products/Applications/Demo.app/AppIcon60x60@2x.png"_s);
    }

    // Android: the highest density that names a raster (WebP converted for the icon bytes); an
    // adaptive icon's XML leads to the largest raster of the same name.
    void apkIcons_data()
    {
        QTest::addColumn<Fixtures::Apk>("apk");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("width");
        Fixtures::Apk densities;
        densities.densities = { u"mdpi"_s, u"xxxhdpi"_s, u"hdpi"_s };
        QTest::newRow("densities") << densities << u"res/drawable-xxxhdpi-v4/ic_launcher.png"_s << 192;
        Fixtures::Apk adaptive;
        adaptive.adaptive = true;
        adaptive.webp = true;
        adaptive.densities = { u"xhdpi"_s, u"xxhdpi"_s, u"mdpi"_s };
        QTest::newRow("adaptive, WebP rasters") << adaptive << u"res/mipmap-xxhdpi-v4/ic_launcher.webp"_s << 144;
        Fixtures::Apk xmlOnly;
        xmlOnly.adaptive = true;
        xmlOnly.densities = {};
        QTest::newRow("adaptive, no raster of that name") << xmlOnly << QString() << -1;
    }
    void apkIcons()
    {
        QFETCH(Fixtures::Apk, apk);
        QFETCH(QString, expected);
        const QString path = TestEnvironment::path(u"icons.apk"_s);
        QVERIFY2(Fixtures::makeApk(path, apk), qPrintable(Fixtures::lastError()));
        const PackageInspector::Identity identity = PackageInspector::inspect(path, 0, work());
        QVERIFY2(identity.ok, qPrintable(identity.error));
        const QString iconPath = identity.appInfo.value(u"iconPath"_s).toString();
        if (expected.isEmpty()) {
            QVERIFY(!QFileInfo::exists(iconPath));
            QVERIFY(identity.icon.isEmpty());
            return;
        }
        QCOMPARE(iconPath, work() + u'/' + expected);
        QTEST(widthOf(iconPath), "width");
        const QString converted = TestEnvironment::path(u"converted.png"_s);
        QFile out(converted);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(identity.icon) == identity.icon.size());
        out.close();
        QVERIFY(pngcheck(converted));
        QTEST(widthOf(converted), "width");
    }
};

QTEST_GUILESS_MAIN(TestAppIcons)
#include "tst_appicons.moc"
