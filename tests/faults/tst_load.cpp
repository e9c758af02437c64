// The stand-in service under load from the program's own clients: ten clients upload fifty
// packages at once, five as the desktop program does (upload flows in one process, whose API
// calls share the transport's four-at-a-time queue) and five as the quillo command (a process
// per upload, five uploads one after the other per client, each client its own account).
// Nothing may be lost: every stored package has the checksum of the one sent. The service's
// memory must stay bounded: it streams packages to disk instead of holding them. Packages of
// 2 MiB: about ten seconds in all on two cores (twice that under the sanitizers).

#include "app/QSLoginModel.h"
#include "app/WorkFolder.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Skips.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"
#include "upload/UploadFlow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <zip.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kClients = 10;
constexpr int kDesktopClients = 5;
constexpr int kUploadsPerClient = 5;
constexpr qsizetype kUniqueBytes = 2 * 1024 * 1024;

// A copy of base with one more stored entry of random bytes, so every package is different.
bool makeVariant(const QString &base, const QString &path)
{
    QFile::remove(path);
    if (!QFile::copy(base, path))
        return false;
    int code = 0;
    zip_t *archive = zip_open(QFile::encodeName(path).constData(), 0, &code);
    if (!archive)
        return false;
    auto *bytes = static_cast<quint32 *>(std::malloc(kUniqueBytes));
    QRandomGenerator::global()->fillRange(bytes, kUniqueBytes / 4);
    zip_source_t *source = zip_source_buffer(archive, bytes, kUniqueBytes, 1);
    const zip_int64_t index = zip_file_add(archive, "Payload/Demo.app/unique.bin", source, ZIP_FL_OVERWRITE);
    if (index < 0) {
        zip_source_free(source);
        zip_discard(archive);
        return false;
    }
    zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
    return zip_close(archive) == 0;
}

// kB of a "VmRSS:" / "VmHWM:" line of /proc/<pid>/status.
qint64 memoryKb(qint64 pid, const QByteArray &field)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

bool sanitized()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

} // namespace

class TestLoad : public QObject
{
    Q_OBJECT

    TestService m_service;
    // packages[client][n]
    QList<QStringList> m_packages;
    QHash<QString, QString> m_sha; // file name -> sha256

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        for (int client = 0; client < kClients; ++client) {
            Fixtures::App app;
            app.info = Fixtures::infoPlist(u"com.example.load%1"_s.arg(client));
            const QString base = TestEnvironment::path(u"load/base-%1.ipa"_s.arg(client));
            QVERIFY2(Fixtures::makeIpa(base, { app }), qPrintable(Fixtures::lastError()));
            QStringList packages;
            for (int n = 0; n < kUploadsPerClient; ++n) {
                const QString name = u"client%1-upload%2.ipa"_s.arg(client).arg(n);
                const QString path = TestEnvironment::path(u"load/"_s + name);
                QVERIFY(makeVariant(base, path));
                m_sha.insert(name, sha256Of(path));
                packages.append(path);
            }
            m_packages.append(packages);
        }
    }

    // Every inspection of the user's processes unpacks into the one work folder. A record read
    // back from there could be another package's, or nothing, when another inspection replaced
    // or removed the copy meanwhile (found by the test below: a quillo command reported a whole
    // package unreadable). The record is read from the package itself.
    void recordComesFromThePackageNotFromTheSharedFolder()
    {
        const QString appFolder = WorkFolder::path() + u"/Payload/Demo.app"_s;
        QVERIFY(QDir().mkpath(appFolder + u"/Info.plist"_s)); // in the way of the unpacked copy
        UploadFlow flow;
        QVERIFY(flow.ParseIPA(m_packages.at(3).first()));
        QCOMPARE(flow.record().value(u"packageName"_s).toString(), u"com.example.load3"_s);
        QCOMPARE(flow.record().value(u"appVersion"_s).toString(), u"1.2.3"_s);
        flow.discard();
        QVERIFY(QDir(appFolder).removeRecursively());
    }

    void fiftyUploadsFromTenClientsAtOnce()
    {
        // Accounts: one for the desktop process, one per command-line client.
        const TestService::Account desktop = m_service.registerAndLogin();
        QVERIFY2(desktop.valid(), qPrintable(desktop.error));
        QSLoginModel::setLoginWithUId(desktop.userKey, desktop.loginData);
        QList<QStringList> cliEnvironments;
        for (int client = kDesktopClients; client < kClients; ++client) {
            const TestService::Account account = m_service.registerAndLogin();
            QVERIFY2(account.valid(), qPrintable(account.error));
            const QStringList env { u"QUILLO_SETTINGS_FILE="_s
                + TestEnvironment::path(u"load/settings-%1.json"_s.arg(client)) };
            const ProcessRun login = runQuilloProcess({ u"login"_s, u"--email"_s, account.email },
                env + QStringList { u"QUILLO_PASSWORD="_s + account.password });
            QVERIFY2(login.exitCode == 0, login.describe().constData());
            cliEnvironments.append(env);
        }

        const qint64 pid = m_service.processId();
        const qint64 serviceBefore = memoryKb(pid, "VmRSS:");
        const qint64 selfBefore = memoryKb(QCoreApplication::applicationPid(), "VmRSS:");
        // A reading that failed (-1) would pass every bound below.
        QVERIFY2(serviceBefore > 0 && selfBefore > 0, "cannot read /proc/<pid>/status");
        qint64 servicePeak = serviceBefore;
        QTimer sampler;
        connect(
            &sampler, &QTimer::timeout, this, [&] { servicePeak = std::max(servicePeak, memoryKb(pid, "VmRSS:")); });
        sampler.start(50);
        QElapsedTimer clock;
        clock.start();

        int finished = 0;
        QStringList failures;

        // Desktop clients: each flow uploads its packages one after the other.
        std::vector<std::unique_ptr<UploadFlow>> flows;
        for (int client = 0; client < kDesktopClients; ++client) {
            auto flow = std::make_unique<UploadFlow>();
            UploadFlow *raw = flow.get();
            auto next = std::make_shared<int>(0);
            const QStringList packages = m_packages.at(client);
            connect(raw, &UploadFlow::showApplicationInfo, raw, [raw] { raw->uploadButtonClicked(); });
            connect(raw, &UploadFlow::shortcutTaken, raw,
                [&failures, raw](const QString &message) { failures.append(raw->filePath() + u": "_s + message); });
            connect(raw, &UploadFlow::uploadFinished, raw, [&, raw, next, packages](const UploadFlow::Result &result) {
                ++finished;
                if (!result.success())
                    failures.append(raw->filePath() + u": "_s + result.message);
                raw->resultAcknowledged();
                raw->backButtonClicked();
                if (++*next < packages.size())
                    raw->ParseIPA(packages.at(*next));
            });
            flows.push_back(std::move(flow));
        }
        for (int client = 0; client < kDesktopClients; ++client)
            QVERIFY(flows.at(size_t(client))->ParseIPA(m_packages.at(client).first()));

        // Command-line clients: a process per upload, one after the other.
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int k = 0; k < kClients - kDesktopClients; ++k) {
            const int client = kDesktopClients + k;
            auto process = std::make_unique<QProcess>();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const QString &pair : cliEnvironments.at(k))
                env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
            process->setProcessEnvironment(env);
            process->setProgram(TestEnvironment::binDir() + u"/quillo"_s);
            QProcess *raw = process.get();
            auto next = std::make_shared<int>(0);
            const QStringList packages = m_packages.at(client);
            connect(raw, &QProcess::finished, this, [&, raw, next, packages](int code, QProcess::ExitStatus status) {
                ++finished;
                if (status != QProcess::NormalExit || code != 0)
                    failures.append(packages.at(*next) + u": exit %1: "_s.arg(code)
                        + QString::fromUtf8(raw->readAllStandardError()));
                raw->readAll();
                if (++*next < packages.size()) {
                    raw->setArguments({ u"upload"_s, packages.at(*next), u"--quiet"_s });
                    raw->start();
                }
            });
            raw->setArguments({ u"upload"_s, packages.first(), u"--quiet"_s });
            raw->start();
            processes.push_back(std::move(process));
        }

        QTRY_COMPARE_WITH_TIMEOUT(finished, kClients * kUploadsPerClient, 150000);
        sampler.stop();
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));

        // Nothing lost: fifty releases, each package exactly as sent.
        const QList<TestService::StoredRelease> releases = m_service.releases();
        QCOMPARE(releases.size(), kClients * kUploadsPerClient);
        QHash<QString, QString> stored;
        for (const TestService::StoredRelease &release : releases) {
            QVERIFY2(!stored.contains(release.fileName), qPrintable(release.fileName));
            stored.insert(release.fileName, release.sha256);
            QCOMPARE(sha256Of(release.packagePath), release.sha256);
        }
        QCOMPARE(stored, m_sha);
        QVERIFY(m_service.temporaryFiles().isEmpty());

        const qint64 serviceHighWater = memoryKb(pid, "VmHWM:");
        const qint64 selfAfter = memoryKb(QCoreApplication::applicationPid(), "VmRSS:");
        QVERIFY2(serviceHighWater >= serviceBefore && servicePeak >= serviceBefore && selfAfter > 0,
            qPrintable(u"memory readings: high-water %1, peak %2, this process %3 KiB"_s.arg(serviceHighWater)
                           .arg(servicePeak)
                           .arg(selfAfter)));
        const qint64 sent = qint64(kClients) * kUploadsPerClient * kUniqueBytes / 1024;
        qInfo("50 uploads (%lld KiB) in %lld ms; service RSS %lld KiB before, %lld KiB peak while sampling, %lld KiB "
              "high-water; this process %lld -> %lld KiB",
            sent, elapsed, serviceBefore, servicePeak, serviceHighWater, selfBefore, selfAfter);
        if (sanitized())
            QUILLO_SKIP(SanitizerMemory, "memory bounds not checked: sanitizer builds keep freed memory in quarantine");
        // Ten uploads are in flight at any moment: holding the bodies of four of them in memory
        // (let alone all fifty) would pass this bound. Streaming costs about 4 MiB here, whatever
        // the size of the packages.
        const qint64 bound = 4 * kUniqueBytes / 1024;
        const qint64 servicePeakGrowth = std::max(servicePeak, serviceHighWater) - serviceBefore;
        QVERIFY2(servicePeakGrowth < bound, qPrintable(QString::number(servicePeakGrowth)));
        QVERIFY2(selfAfter - selfBefore < bound, qPrintable(QString::number(selfAfter - selfBefore)));
    }
};

QUILLO_TEST_MAIN(TestLoad)
#include "tst_load.moc"
