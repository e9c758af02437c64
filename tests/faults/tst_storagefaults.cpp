// Disks that fill and settings that cannot be written. Where the machine allows it the test runs
// in a mount namespace of its own and puts the folders on small tmpfs mounts (full for real:
// ENOSPC, or read-only: EROFS); elsewhere it caps the size of files the process may write
// (RLIMIT_FSIZE: EFBIG) and skips what a cap cannot stand in for.

#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Skips.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"
#include "upload/UploadFlow.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

bool g_tmpfs = false;

// Only a mount makes a read-only or a full file system.
#define SKIP_WITHOUT_MOUNTS()                                                                                          \
    do {                                                                                                               \
        if (qgetenv("QUILLO_TEST_NO_MOUNTS") == "1")                                                                   \
            QUILLO_SKIP(MountsTurnedOff, "QUILLO_TEST_NO_MOUNTS=1: no tmpfs mounts");                                  \
        QUILLO_SKIP(NoMountNamespace, "no mount namespace here (user namespaces are not allowed)");                    \
    } while (false)

bool writeText(const char *path, const QByteArray &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.constData(), size_t(text.size())) == text.size();
    ::close(fd);
    return ok;
}

// Called first in main, while the process has one thread: a private mount namespace (as root,
// or in a user namespace of its own), so that the mounts vanish with the process.
bool enterPrivateMounts()
{
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0)
            return false;
    } else {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        writeText("/proc/self/setgroups", "deny");
        if (!writeText("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1")
            || !writeText("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1"))
            return false;
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool mountTmpfs(const QString &folder, qint64 bytes)
{
    QDir().mkpath(folder);
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
    return ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData())
        == 0;
}

bool remountReadOnly(const QString &folder)
{
    return ::mount(nullptr, QFile::encodeName(folder).constData(), nullptr,
               MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr)
        == 0;
}

// Fills the file system of `folder` to the last byte with a file named "filler".
void fill(const QString &folder)
{
    QFile filler(folder + u"/filler"_s);
    filler.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    const QByteArray block(64 * 1024, 'f');
    while (filler.write(block) > 0) { }
    const QByteArray byte(1, 'f');
    while (filler.write(byte) > 0) { }
}

// Caps the size of every file this process writes from now until the guard goes.
class SizeCap
{
public:
    explicit SizeCap(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        const rlimit cap { bytes, m_saved.rlim_max };
        ::setrlimit(RLIMIT_FSIZE, &cap);
    }
    ~SizeCap() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved {};
};

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next().mid(folder.size() + 1));
    files.sort();
    return files;
}

QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestStorageFaults : public QObject
{
    Q_OBJECT

    QString m_ipa;
    QString m_sha;

private Q_SLOTS:
    void initTestCase()
    {
        qInfo("storage faults on %s", g_tmpfs ? "tmpfs mounts" : "a file size cap");
        // An icon of 2 MiB of noise (stored as it is): larger than the disk left for it.
        m_ipa = TestEnvironment::path(u"packages/BigIcon.ipa"_s);
        Fixtures::App app;
        app.withIcon = false;
        Fixtures::IpaOptions options;
        Fixtures::Entry entry;
        entry.name = u"Payload/Demo.app/Icon.png"_s;
        entry.content = noise(2 * 1024 * 1024);
        options.entries.append(entry);
        QVERIFY2(Fixtures::makeIpa(m_ipa, { app }, options), qPrintable(Fixtures::lastError()));
        m_sha = sha256Of(m_ipa);
    }

    // The icon does not fit: the inspection still fills the record from the Info.plist and goes
    // on to the prepare step; the icon path names a missing file (the form shows its default
    // icon); no cut-off icon is left behind; the package is untouched.
    void inspectionUnpackingOntoAFullDisk()
    {
        const QString work = TestEnvironment::root() + u"/small-work"_s;
        std::optional<SizeCap> cap;
        if (g_tmpfs)
            QVERIFY(mountTmpfs(work, 1024 * 1024));
        else
            cap.emplace(1024 * 1024);
        qputenv("QUILLO_WORK_DIR", QFile::encodeName(work + u"/quillo"_s));

        UploadFlow flow;
        QVERIFY(flow.ParseIPA(m_ipa));
        QTRY_COMPARE_WITH_TIMEOUT(flow.state(), UploadFlow::State::Form, 30000);
        QCOMPARE(flow.record().value(u"packageName"_s).toString(), u"com.example.demo"_s);
        QCOMPARE(flow.record().value(u"appVersion"_s).toString(), u"1.2.3"_s);
        const QString icon = flow.record().value(u"iconPath"_s).toString();
        QVERIFY(icon.startsWith(work + u"/quillo/Payload/Demo.app/"_s));
        QVERIFY(!QFile::exists(icon));
        QCOMPARE(filesBelow(work + u"/quillo"_s), QStringList { u"Payload/Demo.app/Info.plist"_s });
        QCOMPARE(sha256Of(m_ipa), m_sha);

        if (g_tmpfs) {
            // Not even the Info.plist fits: nothing is unpacked, the record still comes from the
            // package, and the flow goes on.
            flow.deletePayloadDirectory();
            flow.backButtonClicked();
            fill(work);
            QVERIFY(flow.ParseIPA(m_ipa));
            QTRY_COMPARE_WITH_TIMEOUT(flow.state(), UploadFlow::State::Form, 30000);
            QCOMPARE(flow.record().value(u"packageName"_s).toString(), u"com.example.demo"_s);
            QCOMPARE(flow.record().value(u"fileSize"_s).toString(), u"2.00MB"_s);
            QCOMPARE(filesBelow(work + u"/quillo"_s), QStringList());
            QVERIFY(::umount(QFile::encodeName(work).constData()) == 0);
        }
        qputenv("QUILLO_WORK_DIR", QFile::encodeName(TestEnvironment::root() + u"/work"_s));
    }

    // A settings write that fails leaves the previous file whole and says so; once there is room
    // again the next write goes through.
    void settingsWrittenOntoAFullDisk()
    {
        const QString folder = TestEnvironment::root() + u"/small-settings"_s;
        if (g_tmpfs)
            QVERIFY(mountTmpfs(folder, 256 * 1024));
        const QString file = folder + u"/preferences.json"_s;
        qputenv("QUILLO_SETTINGS_FILE", QFile::encodeName(file));
        Preferences::reload();
        Preferences::setValue(u"isAutoUpdate"_s, u"1"_s);
        QVERIFY(Preferences::flush());
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray before = saved.readAll();
        saved.close();

        {
            std::optional<SizeCap> cap;
            if (g_tmpfs)
                fill(folder);
            else
                cap.emplace(rlim_t(before.size()));
            Preferences::setValue(u"blob"_s, QString(64 * 1024, u'x'));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"Could not write the preferences file"_s));
            QVERIFY(!Preferences::flush());
        }
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), before);
        saved.close();
        const QStringList expected
            = g_tmpfs ? QStringList { u"filler"_s, u"preferences.json"_s } : QStringList { u"preferences.json"_s };
        QCOMPARE(filesBelow(folder), expected);
        // What was set is still there for this run.
        QCOMPARE(Preferences::value(u"blob"_s).toString().size(), 64 * 1024);

        if (g_tmpfs)
            QVERIFY(QFile::remove(folder + u"/filler"_s));
        // QSettings alone would go on reporting the first error for good.
        QVERIFY(Preferences::flush());
        Preferences::reload();
        QCOMPARE(Preferences::value(u"blob"_s).toString().size(), 64 * 1024);
        QCOMPARE(Preferences::intValue(u"isAutoUpdate"_s), 1);

        if (g_tmpfs)
            QVERIFY(::umount(QFile::encodeName(folder).constData()) == 0);
        qputenv("QUILLO_SETTINGS_FILE",
            QFile::encodeName(TestEnvironment::root() + u"/home/.config/quillo/preferences.json"_s));
        Preferences::reload();
    }

    // The command line must not claim a login or logout that could not be saved: the desktop
    // program would go on with the old session (after a logout: the old token stays on disk).
    void sessionCommandsWithSettingsThatCannotBeWritten_data()
    {
        QTest::addColumn<bool>("readOnlyMount");
        QTest::newRow("settings folder is a file") << false;
        QTest::newRow("read-only file system") << true;
    }
    void sessionCommandsWithSettingsThatCannotBeWritten()
    {
        QFETCH(bool, readOnlyMount);
        if (readOnlyMount && !g_tmpfs)
            SKIP_WITHOUT_MOUNTS();
        TestService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const TestService::Account me = service.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));

        const QString folder = TestEnvironment::root() + u"/unwritable-"_s + (readOnlyMount ? u"ro"_s : u"file"_s);
        QString settings;
        if (readOnlyMount) {
            QVERIFY(mountTmpfs(folder, 64 * 1024));
            settings = folder + u"/preferences.json"_s;
        } else {
            QFile blocker(folder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            settings = folder + u"/quillo/preferences.json"_s;
        }
        const QStringList env { u"QUILLO_SETTINGS_FILE="_s + settings, u"QUILLO_SERVICE_HOST="_s + service.host(),
            u"QUILLO_PASSWORD="_s + me.password };
        const QStringList login { u"login"_s, u"--email"_s, me.email };
        if (readOnlyMount) {
            // Logged in while the disk could be written, then it became read-only.
            const ProcessRun first = runQuilloProcess(login, env);
            QVERIFY2(first.exitCode == 0, first.describe().constData());
            QVERIFY(remountReadOnly(folder));
            const ProcessRun logout = runQuilloProcess({ u"logout"_s }, env);
            QVERIFY2(!logout.crashed && logout.exitCode == 1, logout.describe().constData());
            QVERIFY2(logout.err.contains(settings), logout.describe().constData());
            const ProcessRun still = runQuilloProcess({ u"whoami"_s }, env);
            QVERIFY2(still.exitCode == 0, still.describe().constData());
        }
        const ProcessRun again = runQuilloProcess(login, env);
        QVERIFY2(!again.crashed && !again.timedOut, again.describe().constData());
        QVERIFY2(again.exitCode == 1, again.describe().constData());
        QVERIFY2(again.err.contains(settings), again.describe().constData());
        if (!readOnlyMount) {
            const ProcessRun whoami = runQuilloProcess({ u"whoami"_s }, env);
            QVERIFY2(whoami.exitCode == 3, whoami.describe().constData());
        }
        if (readOnlyMount)
            QVERIFY(::umount(QFile::encodeName(folder).constData()) == 0);
    }

    // The service's disk fills during an upload: the upload is refused with the service's
    // message, nothing half-written stays, and the service takes the next upload once there is room.
    void serviceStoringOntoAFullDisk()
    {
        if (!g_tmpfs)
            SKIP_WITHOUT_MOUNTS(); // a size cap would end the service with SIGXFSZ, not fill its disk
        TestService service;
        QVERIFY(mountTmpfs(service.dataDir(), 6 * 1024 * 1024));
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        service.setAsServiceHost();
        const TestService::Account me = service.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));
        QSLoginModel::setLoginWithUId(me.userKey, me.loginData);

        // Room for the database, not for the package.
        QFile filler(service.dataDir() + u"/filler"_s);
        QVERIFY(filler.open(QIODevice::WriteOnly));
        QVERIFY(filler.write(QByteArray(5 * 1024 * 1024, 'f')) == 5 * 1024 * 1024);
        filler.close();

        UploadFlow flow;
        QList<UploadFlow::Result> results;
        connect(
            &flow, &UploadFlow::uploadFinished, this, [&results](const UploadFlow::Result &r) { results.append(r); });
        QVERIFY(flow.ParseIPA(m_ipa));
        QTRY_COMPARE_WITH_TIMEOUT(flow.state(), UploadFlow::State::Form, 30000);
        flow.upload();
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 60000);
        QVERIFY(!results.first().success());
        QVERIFY2(results.first().message.contains(u"磁盘"_s), qPrintable(results.first().message));
        QVERIFY(service.isRunning());
        QVERIFY(service.temporaryFiles().isEmpty());
        QVERIFY(service.releases().isEmpty());

        QVERIFY(QFile::remove(service.dataDir() + u"/filler"_s));
        results.clear();
        flow.resultAcknowledged();
        flow.upload();
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 60000);
        QVERIFY2(results.first().success(), qPrintable(results.first().message));
        QCOMPARE(service.releases().size(), 1);
        QCOMPARE(service.releases().first().sha256, m_sha);
        QCOMPARE(service.stop(), 0);
        QVERIFY(::umount(QFile::encodeName(service.dataDir()).constData()) == 0);
    }
};

int main(int argc, char *argv[])
{
    // Before anything starts a thread: a user namespace needs a single-threaded process.
    // QUILLO_TEST_NO_MOUNTS=1 tries the size-cap fallback where mounts would work.
    const bool privateMounts = qgetenv("QUILLO_TEST_NO_MOUNTS") != "1" && enterPrivateMounts();
    TestEnvironment::setUp();
    if (privateMounts) {
        const QString probe = TestEnvironment::root() + u"/probe"_s;
        g_tmpfs = mountTmpfs(probe, 64 * 1024) && ::umount(QFile::encodeName(probe).constData()) == 0;
    }
    // A write beyond the cap fails with EFBIG instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    TestStorageFaults tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_storagefaults.moc"
