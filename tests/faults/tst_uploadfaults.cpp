// A service that fails in the middle of an upload, seen by both clients of the upload: the flow
// the desktop window drives, and the quillo command. Each fault must end in a failure that says
// so (never a success), leave the package as it was, and let the same flow upload it whole to a
// healthy service afterwards.
//
// Stalls are left to tests/api (tst_uploadrequest, tst_formrequest): the upload's stall guard is
// five minutes, too long to wait for here.

#include "app/QSLoginModel.h"
#include "tests/api/Gzip.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"
#include "upload/UploadFlow.h"

#include <QRandomGenerator>
#include <QSignalSpy>

#include <memory>

using namespace Qt::StringLiterals;
using Peer = LoopbackHttpPeer;
using Reply = LoopbackHttpPeer::Reply;

namespace {

enum class Fault { Reset, Html500, GzipBomb, RedirectLoop, EndlessReply, Garbage, ClosedWithoutReply };

// What the fault looks like on the wire; the prepare call is answered normally unless the fault
// is a redirect loop, which catches every request.
Reply faultReply(Fault fault, const Peer &peer, const Peer::Request &request)
{
    switch (fault) {
    case Fault::Html500:
        return Reply::typed("text/html; charset=utf-8",
            "<html><head><title>500 Internal Server Error</title></head><body>oops</body></html>", 500);
    case Fault::GzipBomb:
        return Reply::json(gzipBomb(64LL * 1024 * 1024)).header("Content-Encoding", "gzip");
    case Fault::RedirectLoop:
        return Reply::redirect(302, peer.url(request.path()));
    case Fault::EndlessReply: {
        Reply endless = Reply::json("{\"code\":0,\"data\":{\"x\":\"");
        endless.mode = Reply::Mode::EndlessBody;
        return endless;
    }
    case Fault::Garbage: {
        Reply raw;
        raw.mode = Reply::Mode::Raw;
        static constexpr char garbage[] = "\x00\xff\xfe\x16\x03 not a reply\r\n\r\n";
        raw.raw = QByteArray(garbage, sizeof garbage - 1);
        return raw;
    }
    case Fault::ClosedWithoutReply: {
        Reply closed;
        closed.mode = Reply::Mode::Close;
        return closed;
    }
    case Fault::Reset:
        break;
    }
    return Reply::json("{\"code\":0}");
}

} // namespace

class TestUploadFaults : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_me;
    QString m_ipa;
    QString m_sha;

private Q_SLOTS:
    void initTestCase()
    {
        // Large enough that a reset lands in the middle of the body.
        QByteArray noise(1024 * 1024, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        m_ipa = TestEnvironment::path(u"packages/Faulty.ipa"_s);
        Fixtures::IpaOptions options;
        Fixtures::Entry entry;
        entry.name = u"Payload/Demo.app/noise.bin"_s;
        entry.content = noise;
        options.entries.append(entry);
        QVERIFY2(Fixtures::makeIpa(m_ipa, { Fixtures::App() }, options), qPrintable(Fixtures::lastError()));
        m_sha = sha256Of(m_ipa);

        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_me = m_service.registerAndLogin();
        QVERIFY2(m_me.valid(), qPrintable(m_me.error));
        QSLoginModel::setLoginWithUId(m_me.userKey, m_me.loginData);
    }

    void failureIsReportedAndAHealthyRetryStoresThePackageWhole_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("status");
        QTest::newRow("reset mid-upload") << Fault::Reset << 0;
        QTest::newRow("500 with HTML") << Fault::Html500 << 500;
        QTest::newRow("gzip bomb") << Fault::GzipBomb << 0;
        QTest::newRow("redirect loop") << Fault::RedirectLoop << 302;
        QTest::newRow("endless reply") << Fault::EndlessReply << 0;
        QTest::newRow("garbage instead of a reply") << Fault::Garbage << 0;
        QTest::newRow("closed without reply") << Fault::ClosedWithoutReply << 0;
    }
    void failureIsReportedAndAHealthyRetryStoresThePackageWhole()
    {
        QFETCH(Fault, fault);
        QFETCH(int, status);

        std::unique_ptr<ResettingPeer> resetting;
        std::unique_ptr<Peer> peer;
        QString host;
        if (fault == Fault::Reset) {
            resetting = std::make_unique<ResettingPeer>(256 * 1024);
            host = resetting->hostPort();
        } else {
            peer = std::make_unique<Peer>();
            peer->setHandler([fault, raw = peer.get()](const Peer::Request &request) {
                if (fault != Fault::RedirectLoop && request.path() != "/apiv1/app/upload")
                    return Reply::json("{\"code\":0,\"data\":{}}");
                return faultReply(fault, *raw, request);
            });
            host = peer->hostPort();
        }

        // The desktop program's road.
        qputenv("QUILLO_SERVICE_HOST", host.toUtf8());
        UploadFlow flow;
        QList<UploadFlow::Result> results;
        connect(
            &flow, &UploadFlow::uploadFinished, this, [&results](const UploadFlow::Result &r) { results.append(r); });
        QVERIFY(flow.ParseIPA(m_ipa));
        QTRY_COMPARE_WITH_TIMEOUT(flow.state(), UploadFlow::State::Form, 30000);
        flow.upload();
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 60000);
        const UploadFlow::Result failed = results.takeFirst();
        QCOMPARE(failed.kind, UploadFlow::Result::Kind::TransportError);
        QVERIFY2(failed.message.startsWith(u"发布失败："_s), qPrintable(failed.message));
        QCOMPARE(failed.httpStatus, status);
        QCOMPARE(flow.state(), UploadFlow::State::Result);
        if (resetting) {
            QCOMPARE(resetting->uploadsCut(), 1);
            QVERIFY(resetting->bodyBytesSeen() >= 256 * 1024);
        }

        // The command line's road: a network failure, said on standard error, nothing on standard output.
        const ProcessRun cli
            = runQuilloProcess({ u"upload"_s, m_ipa, u"--quiet"_s }, { u"QUILLO_SERVICE_HOST="_s + host });
        QVERIFY2(!cli.crashed && !cli.timedOut, cli.describe().constData());
        QVERIFY2(cli.exitCode == 6, cli.describe().constData());
        QVERIFY2(cli.out.isEmpty(), cli.describe().constData());
        QVERIFY2(!cli.err.trimmed().isEmpty(), cli.describe().constData());

        // Nothing lost: the package is as it was, and the same flow uploads it whole once the
        // service is healthy.
        QCOMPARE(sha256Of(m_ipa), m_sha);
        const qsizetype before = m_service.releases().size();
        flow.resultAcknowledged();
        QCOMPARE(flow.state(), UploadFlow::State::Form);
        m_service.setAsServiceHost();
        flow.upload();
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 60000);
        QVERIFY2(results.first().success(), qPrintable(results.first().message));
        const QList<TestService::StoredRelease> releases = m_service.releases();
        QCOMPARE(releases.size(), before + 1);
        QCOMPARE(releases.last().sha256, m_sha);
        QVERIFY(m_service.temporaryFiles().isEmpty());
    }
};

QUILLO_TEST_MAIN(TestUploadFaults)
#include "tst_uploadfaults.moc"
