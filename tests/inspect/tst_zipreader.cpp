#include "inspect/ZipReader.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

using Fixtures::filesBelow;
using Fixtures::readAll;

Fixtures::Entry file(const QString &name, const QByteArray &content)
{
    Fixtures::Entry entry;
    entry.name = name;
    entry.content = content;
    return entry;
}

} // namespace

class TestZipReader : public QObject
{
    Q_OBJECT

    QString m_outside;

private Q_SLOTS:
    void initTestCase() { m_outside = TestEnvironment::path(u"outside/.keep"_s).section(u'/', 0, -2); }

    void listsUtf8NamesSizesAndKinds()
    {
        Fixtures::App app;
        app.folder = u"演示 App.app"_s;
        Fixtures::IpaOptions options;
        options.entries = {file(u"Payload/演示 App.app/資料/说明 ü.txt"_s, "Grüße\n")};
        const QString ipa = TestEnvironment::path(u"utf8.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, {app}, options), qPrintable(Fixtures::lastError()));

        ZipReader zip;
        QVERIFY(zip.UnzipOpenFile(ipa));
        const ZipEntry *text = zip.entry(u"Payload/演示 App.app/資料/说明 ü.txt"_s);
        QVERIFY(text);
        QCOMPARE(text->size, quint64(8)); // UTF-8 bytes
        QVERIFY(text->isSafe && !text->isDirectory && !text->isLink);
        const ZipEntry *folder = zip.entry(u"Payload/演示 App.app"_s);
        QVERIFY(folder && folder->isDirectory);

        const QString destination = TestEnvironment::path(u"utf8-out"_s);
        QVERIFY(zip.UnzipFileTo(destination, true));
        QCOMPARE(readAll(destination + u"/Payload/演示 App.app/資料/说明 ü.txt"_s), QByteArray("Grüße\n"));
        QVERIFY(QFileInfo(destination + u"/Payload/演示 App.app/Info.plist"_s).isFile());
        QVERIFY(zip.UnzipCloseFile());
        QVERIFY(!zip.UnzipCloseFile());
    }

    void safePathJudgesNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << u"Payload/A.app/Info.plist"_s << u"Payload/A.app/Info.plist"_s;
        QTest::newRow("folder") << u"Payload/"_s << u"Payload"_s;
        QTest::newRow("dot and doubled slashes") << u"./Payload//A.app/./x"_s << u"Payload/A.app/x"_s;
        QTest::newRow("back-slashes") << u"Payload\\A.app\\x"_s << u"Payload/A.app/x"_s;
        QTest::newRow("dots inside a name") << u"a/..b/c.."_s << u"a/..b/c.."_s;
        QTest::newRow("parent") << u"../x"_s << QString();
        QTest::newRow("parent inside") << u"Payload/../../x"_s << QString();
        QTest::newRow("parent with back-slashes") << u"Payload\\..\\..\\x"_s << QString();
        QTest::newRow("absolute") << u"/etc/x"_s << QString();
        QTest::newRow("absolute back-slash") << u"\\etc\\x"_s << QString();
        QTest::newRow("drive letter") << u"C:/x"_s << QString();
        QTest::newRow("drive letter back-slash") << u"c:\\x"_s << QString();
        QTest::newRow("NUL") << u"a\u0000b"_s << QString();
        QTest::newRow("empty") << u""_s << QString();
        QTest::newRow("only dots") << u"./."_s << QString();
    }
    void safePathJudgesNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QString reason;
        QCOMPARE(ZipReader::safePath(name, &reason), path);
        QCOMPARE(reason.isEmpty(), !path.isEmpty());
    }

    // Names that lead outside, links and set-id bits: nothing is written outside the destination,
    // no link is made, no mode from the archive is applied; the harmless entries still arrive.
    void hostileEntriesNeverLeaveTheFolder()
    {
        const QString root = TestEnvironment::root();
        const QString absoluteTarget = m_outside + u"/absolute.txt"_s;
        Fixtures::IpaOptions options;
        options.entries = {
            file(u"AAAAAAoutside/parent.txt"_s, "parent"),
            file(u"BBBBBBoutside/backslash.txt"_s, "backslash"),
            file(u"Q"_s + absoluteTarget.mid(1), "absolute"),
            file(u"DD/drive.txt"_s, "drive"),
            file(u"Payload/Demo.app/run"_s, "#!/bin/sh\n"),
            file(u"Payload/Demo.app/sub/inside.txt"_s, "inside"),
        };
        options.entries[4].mode = 06755;
        Fixtures::Entry link;
        link.name = u"Payload/Demo.app/escape"_s;
        link.linkTarget = m_outside;
        options.entries.append(link);
        options.entries.append(file(u"Payload/Demo.app/escapX/through-link.txt"_s, "through"));

        const QString ipa = TestEnvironment::path(u"hostile.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, {Fixtures::App()}, options), qPrintable(Fixtures::lastError()));
        QVERIFY(Fixtures::renameEntry(ipa, u"AAAAAA"_s, u"../../"_s));
        QVERIFY(Fixtures::renameEntry(ipa, u"BBBBBB"_s, u"..\\..\\"_s));
        QVERIFY(Fixtures::renameEntry(ipa, u"Q"_s + root.mid(1), root));
        QVERIFY(Fixtures::renameEntry(ipa, u"DD/drive"_s, u"C:/drive"_s));
        QVERIFY(Fixtures::renameEntry(ipa, u"escapX/"_s, u"escape/"_s));

        ZipReader zip;
        QVERIFY(zip.UnzipOpenFile(ipa));
        QStringList unsafe;
        for (const ZipEntry &entry : zip.entries()) {
            if (!entry.isSafe)
                unsafe.append(entry.name);
        }
        for (const QString &name : {u"../../outside/parent.txt"_s, u"../../outside/backslash.txt"_s, absoluteTarget,
                                    u"C:/drive.txt"_s, u"Payload/Demo.app/escape"_s})
            QVERIFY2(unsafe.contains(name), qPrintable(name));

        // The destination lies two levels below the test root, so "../../outside" would hit m_outside.
        const QString destination = TestEnvironment::path(u"dest/hostile/.keep"_s).section(u'/', 0, -2);
        QVERIFY(!zip.UnzipFileTo(destination, true)); // something was skipped
        QCOMPARE(filesBelow(m_outside), QStringList());
        QVERIFY(!QFileInfo::exists(absoluteTarget));
        QVERIFY(!QFileInfo::exists(destination + u"/C:"_s));
        QCOMPARE(readAll(destination + u"/Payload/Demo.app/sub/inside.txt"_s), QByteArray("inside"));
        // The link entry was skipped; its path became an ordinary folder for the later entries.
        const QFileInfo escape(destination + u"/Payload/Demo.app/escape"_s);
        QVERIFY(!escape.isSymLink());
        QCOMPARE(readAll(escape.filePath() + u"/through-link.txt"_s), QByteArray("through"));

        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(destination + u"/Payload/Demo.app/run"_s).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07000, 0u);
        QCOMPARE(st.st_mode & 0111, 0u);
    }

    // A link planted in the destination (folder on the way, or in a file's place) is never followed.
    void plantedLinksAreNotFollowed()
    {
        const QString ipa = TestEnvironment::path(u"plain.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa), qPrintable(Fixtures::lastError()));
        const QString victim = m_outside + u"/victim.plist"_s;
        QFile out(victim);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("keep me");
        out.close();

        const QString inPlace = TestEnvironment::path(u"planted-file/Payload/Demo.app/.keep"_s).section(u'/', 0, -2);
        QVERIFY(QFile::link(victim, inPlace + u"/Info.plist"_s));
        ZipReader zip;
        QVERIFY(zip.UnzipOpenFile(ipa));
        QVERIFY(zip.UnzipFileTo(TestEnvironment::path(u"planted-file"_s), true));
        QVERIFY(!QFileInfo(inPlace + u"/Info.plist"_s).isSymLink());
        QVERIFY(readAll(inPlace + u"/Info.plist"_s).contains("CFBundleIdentifier"));
        QCOMPARE(readAll(victim), QByteArray("keep me"));

        const QString onTheWay = TestEnvironment::path(u"planted-folder"_s);
        QDir().mkpath(onTheWay);
        QVERIFY(QFile::link(m_outside, onTheWay + u"/Payload"_s));
        QVERIFY(!zip.UnzipFileTo(onTheWay, true));
        QVERIFY(!zip.extractEntry(u"Payload/Demo.app/Info.plist"_s, onTheWay, true));
        QCOMPARE(filesBelow(m_outside), QStringList{u"victim.plist"_s});
    }

    void overwriteFlagAndDuplicateNames()
    {
        Fixtures::IpaOptions options;
        options.entries = {file(u"dup/first.txt"_s, "first"), file(u"dup/later.txt"_s, "later"),
                           file(u"dup\\slash.txt"_s, "back"), file(u"dup/forwd.txt"_s, "forward")};
        options.level = 0;
        const QString ipa = TestEnvironment::path(u"dups.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, {}, options), qPrintable(Fixtures::lastError()));
        QVERIFY(Fixtures::renameEntry(ipa, u"dup/later.txt"_s, u"dup/first.txt"_s));
        QVERIFY(Fixtures::renameEntry(ipa, u"dup/forwd.txt"_s, u"dup/slash.txt"_s));

        ZipReader zip;
        QVERIFY(zip.UnzipOpenFile(ipa));
        // The last of several entries of one path counts, whether written with / or \.
        QCOMPARE(zip.readEntry(u"dup/first.txt"_s, 100), QByteArray("later"));
        QCOMPARE(zip.readEntry(u"dup/slash.txt"_s, 100), QByteArray("forward"));

        const QString destination = TestEnvironment::path(u"dups-out"_s);
        QVERIFY(zip.UnzipFileTo(destination, true));
        QCOMPARE(readAll(destination + u"/dup/first.txt"_s), QByteArray("later"));
        QCOMPARE(readAll(destination + u"/dup/slash.txt"_s), QByteArray("forward"));

        // Without overwriting, what is there stays (so the first of duplicates wins on a fresh folder).
        QFile changed(destination + u"/dup/first.txt"_s);
        QVERIFY(changed.open(QIODevice::WriteOnly));
        changed.write("mine");
        changed.close();
        QVERIFY(zip.UnzipFileTo(destination, false));
        QCOMPARE(readAll(destination + u"/dup/first.txt"_s), QByteArray("mine"));
        QVERIFY(zip.writtenPaths().isEmpty());
        QVERIFY(zip.extractEntry(u"dup/first.txt"_s, destination, true));
        QCOMPARE(readAll(destination + u"/dup/first.txt"_s), QByteArray("later"));
        QCOMPARE(zip.writtenPaths(), QStringList{QDir::cleanPath(destination) + u"/dup/first.txt"_s});
    }

    void sizeLimitAndCorruptDataLeaveNoFile()
    {
        Fixtures::IpaOptions options;
        options.entries = {file(u"data/payload.bin"_s, QByteArray("0123456789abcdef").repeated(64))};
        options.level = 0; // stored, so the bytes can be damaged in place
        const QString ipa = TestEnvironment::path(u"damaged.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, {}, options), qPrintable(Fixtures::lastError()));

        ZipReader zip;
        QVERIFY(zip.UnzipOpenFile(ipa));
        const QString destination = TestEnvironment::path(u"limits"_s);
        QVERIFY(!zip.extractEntry(u"data/payload.bin"_s, destination, true, 1000));
        QVERIFY(!QFileInfo::exists(destination + u"/data/payload.bin"_s));
        bool ok = true;
        QVERIFY(zip.readEntry(u"data/payload.bin"_s, 1000, &ok).isEmpty());
        QVERIFY(!ok);
        QCOMPARE(zip.readEntry(u"data/payload.bin"_s, 1024, &ok).size(), 1024);
        QVERIFY(ok);
        QVERIFY(!zip.extractEntry(u"data/missing.bin"_s, destination, true));
        zip.UnzipCloseFile();

        // Same length, different bytes: the checksum no longer matches.
        QProcess perl;
        perl.start(u"perl"_s, {u"-0777"_s, u"-pi"_s, u"-e"_s, u"s/0123456789abcdef/0123456789ABCDEF/"_s, ipa});
        QVERIFY(perl.waitForFinished() && perl.exitCode() == 0);
        QVERIFY(zip.UnzipOpenFile(ipa));
        QVERIFY(!zip.extractEntry(u"data/payload.bin"_s, destination, true));
        QVERIFY(!QFileInfo::exists(destination + u"/data/payload.bin"_s));
        QVERIFY(zip.readEntry(u"data/payload.bin"_s, 4096, &ok).isEmpty());
        QVERIFY(!ok);
    }

    void unreadableArchivesAreRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << u"missing"_s;
        QTest::newRow("text named .ipa") << u"text"_s;
        QTest::newRow("empty") << u"empty"_s;
        QTest::newRow("truncated") << u"truncated"_s;
        QTest::newRow("folder") << u"folder"_s;
    }
    void unreadableArchivesAreRefused()
    {
        QFETCH(QString, kind);
        const QString path = TestEnvironment::path(u"bad-"_s + kind + u".ipa"_s);
        if (kind == u"text"_s || kind == u"empty"_s) {
            QFile text(path);
            QVERIFY(text.open(QIODevice::WriteOnly));
            if (kind == u"text"_s)
                text.write("This is not a package.\n");
        } else if (kind == u"truncated"_s) {
            const QString whole = TestEnvironment::path(u"whole.ipa"_s);
            QVERIFY2(Fixtures::makeIpa(whole), qPrintable(Fixtures::lastError()));
            const QByteArray bytes = readAll(whole);
            QFile cut(path);
            QVERIFY(cut.open(QIODevice::WriteOnly));
            cut.write(bytes.left(bytes.size() * 2 / 3));
        } else if (kind == u"folder"_s) {
            QVERIFY(QDir().mkpath(path));
        }
        ZipReader zip;
        QVERIFY(!zip.UnzipOpenFile(path));
        QVERIFY(!zip.errorString().isEmpty());
        QVERIFY(zip.entries().isEmpty());
        QVERIFY(!zip.UnzipFileTo(TestEnvironment::path(u"never"_s), true));
        QCOMPARE(filesBelow(TestEnvironment::path(u"never"_s)), QStringList());
    }
};

QUILLO_TEST_MAIN(TestZipReader)
#include "tst_zipreader.moc"
