// The start-at-login entry, checked with the desktop's own tools: desktop-file-validate for its
// form, and GLib's launcher (gio launch) for what a session really runs from its Exec line.
#include "app/Autostart.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

struct Run
{
    int exitCode = -1;
    QString output;
};

Run run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        return { -1, u"did not finish: "_s + process.errorString() };
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAll()) };
}

// A program that writes where it was started from and its arguments, one a line, to record.
QString makeRecorder(const QString &path, const QString &record)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return {};
    script.write("#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + QFile::encodeName(record) + "'\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QString autostartFolder()
{
    return TestEnvironment::root() + u"/home/.config/autostart"_s;
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

class AutostartTest : public QObject
{
    Q_OBJECT

    QString m_config = TestEnvironment::root() + u"/home/.config"_s;

private slots:
    void init()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
        QDir(autostartFolder()).removeRecursively();
    }

    void enableWritesAValidEntryAndDisableRemovesIt()
    {
        const QString program = TestEnvironment::binDir() + u"/quillo-desktop"_s;
        QString message;
        QVERIFY(!Autostart::isEnabled());
        QVERIFY2(Autostart::enable(program, &message), qPrintable(message));

        const QString entry = autostartFolder() + u"/quillo.desktop"_s;
        QCOMPARE(Autostart::entryPath(), entry);
        QCOMPARE(modeOf(autostartFolder()), mode_t(0700)); // made as the XDG rules ask
        QCOMPARE(modeOf(entry), mode_t(0644));
        const Run validation = run(u"desktop-file-validate"_s, { entry });
        QVERIFY2(validation.exitCode == 0 && validation.output.isEmpty(), qPrintable(validation.output));
        const QString text = QString::fromUtf8(Fixtures::readAll(entry));
        QVERIFY2(text.contains(u"\nExec="_s + program + u" --hidden\n"_s), qPrintable(text));
        QVERIFY(Autostart::isEnabled());
        // Nothing but the entry: the file written beside it was renamed, not left.
        QCOMPARE(QDir(autostartFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList { u"quillo.desktop"_s });

        QVERIFY2(Autostart::disable(&message), qPrintable(message));
        QVERIFY(!QFileInfo::exists(entry));
        QVERIFY(!Autostart::isEnabled());
        QVERIFY2(Autostart::disable(&message), qPrintable(message)); // nothing left to remove
    }

    // What a desktop session runs: GLib reads the entry as sessions do and starts its Exec line.
    // (Not with a "%" in the path: GLib looks for the program before it undoes the "%%" that
    // desktop entries require, and finds none.)
    void theSessionRunsTheNamedProgramWithHidden_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << u"opt/quillo/bin"_s;
        QTest::newRow("spaces") << u"My Apps/fresh builds"_s;
        QTest::newRow("quotes, dollar, backquote, backslash") << u"it's \"$HOME\" `x` a\\b"_s;
        QTest::newRow("non-ASCII") << u"程序/Quillo"_s;
    }
    void theSessionRunsTheNamedProgramWithHidden()
    {
        QFETCH(QString, folder);
        const QString record = TestEnvironment::path(u"launch/record.txt"_s);
        QFile::remove(record);
        const QString program
            = makeRecorder(TestEnvironment::root() + u"/launch/"_s + folder + u"/quillo-desktop"_s, record);
        QVERIFY(!program.isEmpty());

        QString message;
        QVERIFY2(Autostart::enable(program, &message), qPrintable(message));
        const Run validation = run(u"desktop-file-validate"_s, { Autostart::entryPath() });
        QVERIFY2(validation.exitCode == 0, qPrintable(validation.output));
        const Run launch = run(u"gio"_s, { u"launch"_s, Autostart::entryPath() });
        QVERIFY2(launch.exitCode == 0, qPrintable(launch.output));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(Fixtures::readAll(record)), program + u"\n--hidden\n"_s, 10000);

        // Once the program is gone (the package removed), sessions pass the entry over.
        QVERIFY(QFile::remove(program));
        QVERIFY(QFile::remove(record));
        QVERIFY(run(u"gio"_s, { u"launch"_s, Autostart::entryPath() }).exitCode != 0);
        QVERIFY(!QFileInfo::exists(record));
    }

    // An entry a session switched off does not count; switching on replaces it with ours.
    void anEntrySwitchedOffByTheSessionReadsAsOff_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("Hidden") << QByteArray("Hidden=true");
        QTest::newRow("GNOME") << QByteArray("X-GNOME-Autostart-enabled=false");
    }
    void anEntrySwitchedOffByTheSessionReadsAsOff()
    {
        QFETCH(QByteArray, line);
        QDir().mkpath(autostartFolder());
        QFile entry(Autostart::entryPath());
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Quillo\nExec=quillo-desktop\n" + line + "\n");
        entry.close();
        QVERIFY(!Autostart::isEnabled());
        QString message;
        QVERIFY2(Autostart::enable(TestEnvironment::binDir() + u"/quillo-desktop"_s, &message), qPrintable(message));
        QVERIFY(Autostart::isEnabled());
        QVERIFY(!Fixtures::readAll(Autostart::entryPath()).contains(line));
    }

    // A link at the entry's name is replaced, never written through.
    void aLinkAtTheEntryIsReplacedNotFollowed()
    {
        const QString outside = TestEnvironment::path(u"elsewhere/target.desktop"_s);
        QFile target(outside);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write("untouched\n");
        target.close();
        QDir().mkpath(autostartFolder());
        QVERIFY(QFile::link(outside, Autostart::entryPath()));

        QString message;
        QVERIFY2(Autostart::enable(TestEnvironment::binDir() + u"/quillo-desktop"_s, &message), qPrintable(message));
        QCOMPARE(Fixtures::readAll(outside), QByteArray("untouched\n"));
        QVERIFY(!QFileInfo(Autostart::entryPath()).isSymLink());
        QVERIFY(Autostart::isEnabled());
    }

    void nothingIsWrittenOutsideAnExistingConfigurationFolder()
    {
        // A configuration folder that does not exist is reported, not made.
        const QString missing = TestEnvironment::root() + u"/no-such-config"_s;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(missing));
        QString message;
        QVERIFY(!Autostart::enable(TestEnvironment::binDir() + u"/quillo-desktop"_s, &message));
        QVERIFY2(message.contains(missing) && message.contains(u"不存在"_s), qPrintable(message));
        QVERIFY(!QFileInfo::exists(missing));
        QVERIFY(!Autostart::isEnabled());

        // A relative XDG_CONFIG_HOME is not used (it would name a folder below whatever the
        // current folder is): the entry goes below ~/.config.
        const QString work = TestEnvironment::path(u"cwd/x"_s).chopped(2);
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work));
        qputenv("XDG_CONFIG_HOME", "relative-config");
        const bool written = Autostart::enable(TestEnvironment::binDir() + u"/quillo-desktop"_s, &message);
        QDir::setCurrent(saved);
        QVERIFY2(written, qPrintable(message));
        QCOMPARE(Autostart::entryPath(), QDir::homePath() + u"/.config/autostart/quillo.desktop"_s);
        QVERIFY(QFileInfo::exists(QDir::homePath() + u"/.config/autostart/quillo.desktop"_s));
        QVERIFY(QDir(work).isEmpty());
    }

    void aProgramPathThatCannotBeAnExecLineIsRefused_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("relative") << u"bin/quillo-desktop"_s;
        QTest::newRow("newline") << u"/opt/a\nb/quillo-desktop"_s;
        QTest::newRow("empty") << QString();
    }
    void aProgramPathThatCannotBeAnExecLineIsRefused()
    {
        QFETCH(QString, program);
        QString message;
        QVERIFY(!Autostart::enable(program, &message));
        QVERIFY(!message.isEmpty());
        QVERIFY(!QFileInfo::exists(Autostart::entryPath()));
    }
};

QUILLO_TEST_MAIN(AutostartTest)
#include "tst_autostart.moc"
