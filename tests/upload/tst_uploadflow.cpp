// The upload flow without a screen: its rules, and whole uploads against the stand-in service in
// strict mode, driven the way the command line drives them.

#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "app/WorkFolder.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"
#include "upload/UploadFlow.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

using Fixtures::sha256Of;

// Records everything a flow reports.
struct Observer
{
    explicit Observer(UploadFlow &flow)
    {
        QObject::connect(&flow, &UploadFlow::stateChanged, &flow, [this](UploadFlow::State s) { states.append(s); });
        QObject::connect(&flow, &UploadFlow::showApplicationInfo, &flow,
            [this, &flow] { forms.append(flow.record().value(u"packageName"_s).toString()); });
        QObject::connect(&flow, &UploadFlow::progressChanged, &flow, [this](double v) { progress.append(v); });
        QObject::connect(&flow, &UploadFlow::transferStatus, &flow,
            [this](double, qint64, const QString &text) { statusTexts.append(text); });
        QObject::connect(&flow, &UploadFlow::shortcutTaken, &flow, [this](const QString &m) { taken.append(m); });
        QObject::connect(
            &flow, &UploadFlow::uploadFinished, &flow, [this](const UploadFlow::Result &r) { results.append(r); });
    }
    QList<UploadFlow::State> states;
    QStringList forms;
    QList<double> progress;
    QStringList statusTexts;
    QStringList taken;
    QList<UploadFlow::Result> results;
};

} // namespace

class TestUploadFlow : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_me;
    QString m_ipa;
    QString m_otherIpa;
    QString m_apk;

    void logIn(const TestService::Account &account)
    {
        QSLoginModel::setLoginWithUId(account.userKey, account.loginData);
    }

    int m_roundTrips = 0;

    // A call through the program's own transport, answered: what the transport received before
    // it (the reply of an earlier call, an upload's progress) has been handed on by then.
    void roundTrip()
    {
        const int before = m_roundTrips;
        std::unique_ptr<CloudClient> client = CloudClient::getInstance();
        client->getConfigConstants(this, u"roundTripEnded:"_s, u"roundTripEnded:"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_roundTrips > before, 10000);
    }

public:
    Q_INVOKABLE void roundTripEnded(const QVariant &) { ++m_roundTrips; }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_me = m_service.registerAndLogin();
        QVERIFY2(m_me.valid(), qPrintable(m_me.error));

        m_ipa = TestEnvironment::path(u"pkg/Demo App.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(m_ipa), qPrintable(Fixtures::lastError()));
        Fixtures::App other;
        other.folder = u"Other.app"_s;
        other.info = Fixtures::infoPlist(u"com.example.other"_s, u"2.0"_s, u"7"_s, u"Other"_s);
        m_otherIpa = TestEnvironment::path(u"pkg/other.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(m_otherIpa, { other }), qPrintable(Fixtures::lastError()));
        Fixtures::Apk apk;
        apk.package = u"com.example.flowapk"_s;
        m_apk = TestEnvironment::path(u"pkg/flow.apk"_s);
        QVERIFY2(Fixtures::makeApk(m_apk, apk), qPrintable(Fixtures::lastError()));
    }

    void init()
    {
        logIn(m_me);
        Preferences::setValue(u"autoCloseUploadWindow"_s, u"0"_s);
    }

    // ---- Rules ----

    void contentTypeFollowsTheNameEnding_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("type");
        const QString ios = u"application/iphone-package-archive"_s;
        const QString android = u"application/vnd.android.package-archive"_s;
        QTest::newRow("ipa") << u"Demo.ipa"_s << ios;
        QTest::newRow("ipa without dot") << u"myipa"_s << ios;
        QTest::newRow("apk") << u"Demo.apk"_s << android;
        QTest::newRow("upper-case IPA") << u"Demo.IPA"_s << android;
        QTest::newRow("anything else") << u"notes.txt"_s << android;
    }
    void contentTypeFollowsTheNameEnding()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, type);
        QCOMPARE(UploadFlow::contentTypeForFileName(fileName), type);
    }

    void uploadFieldsAreTheEightInNameOrder()
    {
        const QVariantMap settings { { u"publishRange"_s, u"3"_s }, { u"isPublishToPublic"_s, u"2"_s },
            { u"name"_s, u"演示"_s }, { u"shortcut"_s, u"demo"_s }, { u"password"_s, u"pw"_s },
            { u"description"_s, u"line 1\nline 2"_s } };
        const QVariantMap fields = UploadFlow::uploadFields(settings, u"UKEY"_s);
        QCOMPARE(fields.keys(),
            (QStringList { u"_api_key"_s, u"isPublishToPublic"_s, u"name"_s, u"password"_s, u"publishRange"_s,
                u"shortcut"_s, u"uKey"_s, u"updateDescription"_s }));
        QCOMPARE(fields.value(u"uKey"_s), QVariant(u"UKEY"_s));
        QCOMPARE(fields.value(u"updateDescription"_s), QVariant(u"line 1\nline 2"_s));
        QCOMPARE(fields.value(u"publishRange"_s), QVariant(u"3"_s));
        QVERIFY(!fields.value(u"_api_key"_s).toString().isEmpty());
        QCOMPARE(UploadFlow::fileNameOf(u"/a/b/My App.ipa"_s), u"My App.ipa"_s);
        QCOMPARE(UploadFlow::uploadUrl().toString(), u"http://%1/apiv1/app/upload"_s.arg(Config::serviceHost()));
    }

    void progressIsTheSentShareTimesPointNineEight()
    {
        QCOMPARE(UploadFlow::progressValue(0, 1000), 0.0);
        QCOMPARE(UploadFlow::progressValue(500, 1000), 0.49);
        QCOMPARE(UploadFlow::progressValue(1000, 1000), 0.98);
        QVERIFY(UploadFlow::progressValue(1100, 1000) > 1.0); // framing counts too
        QCOMPARE(UploadFlow::progressValue(300, 0), 0.0); // a package that could not be measured
    }

    void prepareReplyCompletesTheRecord()
    {
        // A parent application: its values as they came (a number stays a number), suffix fixed.
        QVariantMap record { { u"appName"_s, u"Demo"_s } };
        UploadFlow::applyPrepareReply(record,
            QVariantMap { { u"shortcutUrl"_s, u"demo"_s },
                { u"parentApp"_s,
                    QVariantMap { { u"a_is_publish_to_public"_s, u"2"_s }, { u"a_publish_range"_s, 3 } } } });
        QCOMPARE(record.value(u"shortcutUrl"_s), QVariant(u"demo"_s));
        QCOMPARE(record.value(u"isPublishToPublic"_s), QVariant(u"2"_s));
        QCOMPARE(record.value(u"publishRange"_s).typeId(), QMetaType::Int);
        QVERIFY(!record.contains(u"password"_s)); // not carried, not written
        QCOMPARE(record.value(u"urlCanbeModified"_s), QVariant(u"0"_s));
        // The number is not a usable string: the form stays on item 0.
        QCOMPARE(UploadFlow::publishRangeIndex(record), 0);
        QCOMPARE(UploadFlow::publishToSquareIndex(record), 1);

        // An empty parent counts as none; a reply without data writes only urlCanbeModified.
        QVariantMap fresh;
        UploadFlow::applyPrepareReply(fresh, QVariantMap { { u"parentApp"_s, QVariantMap() } });
        QCOMPARE(fresh, (QVariantMap { { u"urlCanbeModified"_s, u"1"_s } }));
        QVariantMap none;
        UploadFlow::applyPrepareReply(none, QVariant());
        QCOMPARE(none, (QVariantMap { { u"urlCanbeModified"_s, u"1"_s } }));
    }

    void popUpIndexesAndDefaults()
    {
        QVariantMap record { { u"appName"_s, u"Demo"_s }, { u"publishRange"_s, u"3"_s },
            { u"isPublishToPublic"_s, u"2"_s }, { u"shortcutUrl"_s, u"\n"_s }, { u"password"_s, u"secret"_s } };
        QCOMPARE(UploadFlow::publishRangeIndex(record), 1);
        QCOMPARE(UploadFlow::defaultSettings(record),
            (QVariantMap { { u"publishRange"_s, u"3"_s }, { u"isPublishToPublic"_s, u"2"_s }, { u"name"_s, u"Demo"_s },
                { u"shortcut"_s, QString() }, { u"password"_s, u"secret"_s }, { u"description"_s, QString() } }));
        // Values naming no item leave the pop-ups on item 0 rather than on no item.
        record[u"publishRange"_s] = u"9"_s;
        record[u"isPublishToPublic"_s] = u"0"_s;
        QCOMPARE(UploadFlow::publishRangeIndex(record), 0);
        QCOMPARE(UploadFlow::publishToSquareIndex(record), 0);
        QCOMPARE(UploadFlow::defaultSettings(record).value(u"publishRange"_s), QVariant(u"2"_s));
    }

    void completionRules()
    {
        using Kind = UploadFlow::Result::Kind;
        // Transport error: "发布失败：" with the reply's message, or a text of our own without one.
        UploadFlow::Result r = UploadFlow::interpretCompletion(
            500, QVariantMap { { u"code"_s, u"9"_s }, { u"message"_s, u"磁盘已满"_s } }, u"Request failed: x (500)"_s);
        QCOMPARE(r.kind, Kind::TransportError);
        QCOMPARE(r.message, u"发布失败：磁盘已满"_s);
        r = UploadFlow::interpretCompletion(0, QVariant(), u"Request failed: connection refused"_s);
        QCOMPARE(r.kind, Kind::TransportError);
        QVERIFY(r.message.startsWith(u"发布失败："_s) && r.message.size() > 5);
        // Refusal: the message exactly as it came.
        r = UploadFlow::interpretCompletion(
            200, QVariantMap { { u"code"_s, u"1020"_s }, { u"message"_s, u" 已存在 "_s } }, {});
        QCOMPARE(r.kind, Kind::Refused);
        QCOMPARE(r.message, u" 已存在 "_s);
        QCOMPARE(r.serviceCode, QVariant(u"1020"_s));
        r = UploadFlow::interpretCompletion(200, QVariantMap { { u"code"_s, 7 } }, {});
        QCOMPARE(r.kind, Kind::Refused);
        QVERIFY(!r.message.isEmpty());
        // Success: the suffix is kept and the download page built from it.
        r = UploadFlow::interpretCompletion(200,
            QVariantMap { { u"code"_s, 0 }, { u"data"_s, QVariantMap { { u"appShortcutUrl"_s, u"demo"_s } } } }, {});
        QVERIFY(r.success());
        QCOMPARE(r.appShortcutUrl, u"demo"_s);
        QCOMPARE(r.downloadUrl, u"http://%1/demo"_s.arg(Config::serviceHost()));
        // An empty or foreign reply is not taken for a success.
        QVERIFY(!UploadFlow::interpretCompletion(200, QVariant(), {}).success());
        QVERIFY(!UploadFlow::interpretCompletion(200, QVariantList { 1 }, {}).success());
        QVERIFY(!UploadFlow::interpretCompletion(200, QVariantMap { { u"data"_s, QVariantMap() } }, {}).success());
    }

    void autoCloseIsOnOnlyForTheIntegerOne()
    {
        for (const auto &[value, on] : { std::pair { QVariant(u"1"_s), true }, { QVariant(1), true },
                 { QVariant(u"0"_s), false }, { QVariant(u"yes"_s), false }, { QVariant(u"2"_s), false } }) {
            Preferences::setValue(u"autoCloseUploadWindow"_s, value);
            QCOMPARE(UploadFlow::autoCloseUploadWindow(), on);
        }
        Preferences::remove(u"autoCloseUploadWindow"_s);
        QCOMPARE(UploadFlow::autoCloseUploadWindow(), false);
    }

    void rateAndTimeLeft()
    {
        TransferRateEstimator rate;
        rate.start(10 * 1024 * 1024, 0);
        rate.addSample(100 * 1024, 10 * 1024 * 1024, 200);
        QVERIFY(!rate.bytesPerSecond()); // too early to tell
        QCOMPARE(rate.text(), u"正在计算速度…"_s);
        // 1 MiB/s steady: 2 MiB after 2 s, 8 MiB left → 8 s.
        rate.addSample(1024 * 1024, 10 * 1024 * 1024, 1000);
        rate.addSample(2 * 1024 * 1024, 10 * 1024 * 1024, 2000);
        QCOMPARE(*rate.bytesPerSecond(), double(1024 * 1024));
        QCOMPARE(*rate.secondsRemaining(), 8);
        QCOMPARE(rate.text(), u"1.00 MB/s，剩余 0:08"_s);
        // The window forgets the old speed: after 4 s at 4 MiB/s the rate is 4 MiB/s.
        const qint64 MiB = 1024 * 1024;
        for (int s = 3; s <= 6; ++s)
            rate.addSample(2 * MiB + qint64(s - 2) * 4 * MiB, 100 * MiB, s * 1000);
        QCOMPARE(*rate.bytesPerSecond(), double(4 * MiB));
        QCOMPARE(*rate.secondsRemaining(), (100 - 18) / 4 + 1); // 20.5 s, rounded up
        TransferRateEstimator fast;
        fast.start(100, 0);
        fast.addSample(100, 100, 1000);
        QCOMPARE(*fast.secondsRemaining(), 0);
        QCOMPARE(TransferRateEstimator::formatRate(512), u"512 B/s"_s);
        QCOMPARE(TransferRateEstimator::formatRate(150.0 * 1024 * 1024), u"150 MB/s"_s);
        QCOMPARE(TransferRateEstimator::formatDuration(3725), u"1:02:05"_s);
    }

    // ---- Whole uploads against the service ----

    // A new package: the service proposes a suffix, the user may change it; it is checked, then
    // the package goes up with progress and is stored byte for byte.
    void uploadsANewPackageWithItsSettings()
    {
        UploadFlow flow;
        Observer seen(flow);
        const QString suffix = u"flow-demo-%1"_s.arg(QCoreApplication::applicationPid());
        flow.setSettingsSource([&flow, suffix] {
            QVariantMap s = UploadFlow::defaultSettings(flow.record());
            s[u"shortcut"_s] = suffix;
            s[u"description"_s] = u"第一行\n第二行"_s;
            s[u"password"_s] = u"pw1"_s;
            return s;
        });
        QVERIFY(flow.ParseIPA(m_ipa));
        QTRY_COMPARE(flow.state(), UploadFlow::State::Form);
        QCOMPARE(seen.forms, QStringList { u"com.example.demo"_s });
        QCOMPARE(flow.record().value(u"urlCanbeModified"_s), QVariant(u"1"_s));
        QVERIFY(!flow.record().value(u"shortcutUrl"_s).toString().isEmpty());
        QCOMPARE(flow.appType(), 1);

        flow.uploadButtonClicked();
        QCOMPARE(flow.state(), UploadFlow::State::Checking);
        QTRY_COMPARE_WITH_TIMEOUT(seen.results.size(), 1, 20000);
        const UploadFlow::Result result = seen.results.first();
        QVERIFY2(result.success(), qPrintable(result.message));
        QCOMPARE(result.appShortcutUrl, suffix);
        QCOMPARE(result.downloadUrl, u"http://%1/%2"_s.arg(m_service.host(), suffix));
        QCOMPARE(flow.state(), UploadFlow::State::Result);
        QCOMPARE(flow.filesize(), quint64(QFileInfo(m_ipa).size()));
        QVERIFY(seen.states.contains(UploadFlow::State::Sending));
        QVERIFY(!seen.progress.isEmpty());
        QCOMPARE(seen.progress.last(), 1.0);
        // Rising while sending; for a package this small the framing alone passes 1 before the reply.
        QVERIFY(std::is_sorted(seen.progress.cbegin(), seen.progress.cend() - 1));
        QVERIFY(seen.progress.at(seen.progress.size() - 2) > 1.0);

        const auto releases = m_service.releases();
        auto stored = std::find_if(releases.cbegin(), releases.cend(),
            [&](const TestService::StoredRelease &r) { return r.shortcut == suffix; });
        QVERIFY(stored != releases.cend());
        QCOMPARE(stored->fileName, u"Demo App.ipa"_s);
        QCOMPARE(stored->description, u"第一行\n第二行"_s);
        QCOMPARE(stored->password, u"pw1"_s);
        QCOMPARE(stored->name, u"Demo"_s);
        QCOMPARE(stored->sha256, sha256Of(m_ipa));

        // The same package again: the service names the parent application, the suffix is
        // fixed and not checked, and the parent's values come back as the defaults.
        UploadFlow again;
        Observer seenAgain(again);
        QVERIFY(again.ParseIPA(m_ipa));
        QTRY_COMPARE(again.state(), UploadFlow::State::Form);
        QCOMPARE(again.record().value(u"urlCanbeModified"_s), QVariant(u"0"_s));
        QCOMPARE(again.record().value(u"shortcutUrl"_s), QVariant(suffix));
        QCOMPARE(again.record().value(u"password"_s), QVariant(u"pw1"_s));
        again.uploadButtonClicked();
        QCOMPARE(again.state(), UploadFlow::State::Sending);
        QTRY_COMPARE_WITH_TIMEOUT(seenAgain.results.size(), 1, 20000);
        QVERIFY(seenAgain.results.first().success());
        QVERIFY(!seenAgain.states.contains(UploadFlow::State::Checking));
        QCOMPARE(seenAgain.results.first().appShortcutUrl, suffix);
    }

    void anAndroidPackageGoesTheSameRoad()
    {
        UploadFlow flow;
        Observer seen(flow);
        QVERIFY(flow.ParsePackage(m_apk));
        QCOMPARE(flow.state(), UploadFlow::State::Inspecting);
        QTRY_COMPARE_WITH_TIMEOUT(flow.state(), UploadFlow::State::Form, 20000);
        QCOMPARE(flow.appType(), 2);
        QCOMPARE(seen.forms, QStringList { u"com.example.flowapk"_s });
        flow.uploadButtonClicked();
        QTRY_COMPARE_WITH_TIMEOUT(seen.results.size(), 1, 20000);
        QVERIFY2(seen.results.first().success(), qPrintable(seen.results.first().message));
        QVERIFY(!flow.ParsePackage(u"/tmp/App.APK"_s)); // suffixes are exact
    }

    // A suffix that belongs to someone else's application stops before the upload; a free one
    // then goes through. A suffix the service refuses comes back with its message unchanged.
    void takenAndRefusedSuffixes()
    {
        const TestService::Account other = m_service.registerAndLogin();
        QVERIFY(other.valid());
        TestService::UploadOptions options;
        options.shortcut = u"taken-%1"_s.arg(QCoreApplication::applicationPid());
        QCOMPARE(m_service.upload(other, m_apk, options).code(), 0);

        UploadFlow flow;
        Observer seen(flow);
        QString suffix = options.shortcut;
        flow.setSettingsSource([&flow, &suffix] {
            QVariantMap s = UploadFlow::defaultSettings(flow.record());
            s[u"shortcut"_s] = suffix;
            return s;
        });
        QVERIFY(flow.ParseIPA(m_otherIpa));
        QTRY_COMPARE(flow.state(), UploadFlow::State::Form);
        const int releasesBefore = int(m_service.releases().size());
        flow.uploadButtonClicked();
        QTRY_COMPARE(seen.taken.size(), 1);
        QCOMPARE(seen.taken.first(), u"网址后缀已存在，请更换"_s);
        QCOMPARE(flow.state(), UploadFlow::State::Form);
        QVERIFY(seen.results.isEmpty());
        QCOMPARE(int(m_service.releases().size()), releasesBefore);

        // An invalid suffix: the check fails, the upload goes ahead, the service refuses it.
        suffix = u"no spaces!"_s;
        flow.uploadButtonClicked();
        QTRY_COMPARE_WITH_TIMEOUT(seen.results.size(), 1, 20000);
        QCOMPARE(seen.results.first().kind, UploadFlow::Result::Kind::Refused);
        QVERIFY2(seen.results.first().message.startsWith(u"网址后缀“no spaces!”不可用"_s),
            qPrintable(seen.results.first().message));
        flow.resultAcknowledged();
        QCOMPARE(flow.state(), UploadFlow::State::Form);

        suffix = u"free-%1"_s.arg(QCoreApplication::applicationPid());
        flow.uploadButtonClicked();
        QTRY_COMPARE_WITH_TIMEOUT(seen.results.size(), 2, 20000);
        QVERIFY2(seen.results.last().success(), qPrintable(seen.results.last().message));
        QCOMPARE(seen.results.last().appShortcutUrl, suffix);
    }

    // A failed prepare call still shows the form, without the reply's keys: the suffix is not
    // checked. Logged out, the service then refuses the upload with its own message.
    void aFailedPrepareStillLeadsToTheForm()
    {
        QSLoginModel::setLogout();
        UploadFlow flow;
        Observer seen(flow);
        QVERIFY(flow.ParseIPA(m_ipa));
        QTRY_COMPARE(flow.state(), UploadFlow::State::Form);
        QCOMPARE(seen.forms.size(), 1);
        QVERIFY(!flow.record().contains(u"urlCanbeModified"_s));
        QVERIFY(!flow.record().contains(u"shortcutUrl"_s));
        QCOMPARE(flow.record().size(), 7); // the inspection's keys only
        flow.uploadButtonClicked();
        QCOMPARE(flow.state(), UploadFlow::State::Sending); // no suffix check
        QTRY_COMPARE_WITH_TIMEOUT(seen.results.size(), 1, 20000);
        QCOMPARE(seen.results.first().kind, UploadFlow::Result::Kind::Refused);
        QVERIFY2(seen.results.first().message.contains(u"登录"_s), qPrintable(seen.results.first().message));
    }

    // A second package while the first one's prepare call is out: only the second form comes.
    void aSecondPackageCancelsTheFirstPrepare()
    {
        UploadFlow flow;
        Observer seen(flow);
        QVERIFY(flow.ParseIPA(m_ipa));
        QCOMPARE(flow.state(), UploadFlow::State::Preparing);
        QVERIFY(flow.ParseIPA(m_otherIpa));
        QTRY_COMPARE(flow.state(), UploadFlow::State::Form);
        roundTrip(); // the first call's reply, had it not been cancelled, would be in by now
        QCOMPARE(seen.forms, QStringList { u"com.example.other"_s });
        QCOMPARE(flow.record().value(u"appName"_s), QVariant(u"Other"_s));
    }

    // Discarding the flow, or destroying it, during an upload: nothing reaches it any more, and
    // the service stores nothing.
    void aDiscardedFlowHearsNothing()
    {
        // A large sparse file stands in for the package so that the upload is still running.
        const QString big = TestEnvironment::path(u"pkg/big.ipa"_s);
        {
            QFile file(big);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(qint64(1536) * 1024 * 1024));
        }
        const int releasesBefore = int(m_service.releases().size());
        for (const bool destroy : { false, true }) {
            auto flow = std::make_unique<UploadFlow>();
            Observer seen(*flow);
            int afterDiscard = 0;
            QVERIFY(flow->ParseIPA(m_ipa));
            QTRY_COMPARE(flow->state(), UploadFlow::State::Form);
            flow->setFilePath(big);
            Preferences::setValue(u"autoCloseUploadWindow"_s, u"0"_s);
            flow->upload();
            QTRY_VERIFY(seen.progress.size() >= 2 && seen.progress.last() > 0.0);
            QVERIFY(seen.progress.last() < 0.5);
            QObject::connect(flow.get(), &UploadFlow::progressChanged, flow.get(), [&] { ++afterDiscard; });
            QObject::connect(flow.get(), &UploadFlow::uploadFinished, flow.get(), [&] { ++afterDiscard; });
            if (destroy) {
                flow.reset();
            } else {
                flow->discard();
                QCOMPARE(flow->state(), UploadFlow::State::Discarded);
                QVERIFY(!flow->ParseIPA(m_ipa));
            }
            roundTrip(); // progress queued before the discard would have come before this reply
            QCOMPARE(afterDiscard, 0);
            QVERIFY(seen.results.isEmpty());
        }
        QCOMPARE(int(m_service.releases().size()), releasesBefore);
        QTRY_VERIFY(m_service.temporaryFiles().isEmpty());
    }

    void transportFailureSaysSo()
    {
        UploadFlow flow;
        Observer seen(flow);
        QVERIFY(flow.ParseIPA(m_ipa));
        QTRY_COMPARE(flow.state(), UploadFlow::State::Form);
        Preferences::setValue(u"autoCloseUploadWindow"_s, u"1"_s);
        qputenv("QUILLO_SERVICE_HOST", "127.0.0.1:9"); // nothing listens there
        flow.upload();
        QTRY_COMPARE_WITH_TIMEOUT(seen.results.size(), 1, 20000);
        m_service.setAsServiceHost();
        const UploadFlow::Result r = seen.results.first();
        QCOMPARE(r.kind, UploadFlow::Result::Kind::TransportError);
        QVERIFY(r.message.startsWith(u"发布失败："_s));
        QCOMPARE(r.httpStatus, 0);
        QVERIFY(r.autoClose);
        QVERIFY(seen.progress.isEmpty() || seen.progress.last() < 1.0); // no reply: never full
    }

    // The export of an archive hands its package to the inspection, or reports that it made none.
    void exportLeadsToTheFormOrToTheFailure()
    {
        const QString archive = TestEnvironment::path(u"Archives/Demo.xcarchive"_s);
        QVERIFY2(Fixtures::makeArchive(archive), qPrintable(Fixtures::lastError()));
        for (const QString &mode : { u"export"_s, u"fail"_s }) {
            Fixtures::useFakeXcodebuild(mode);
            UploadFlow flow(u"1"_s);
            QCOMPARE(flow.state(), UploadFlow::State::Exporting);
            QSignalSpy ended(&flow, &UploadFlow::exportEnded);
            QSignalSpy failed(&flow, &UploadFlow::exportFailed);
            flow.exportArchive(archive, u"Demo Profile"_s);
            QVERIFY(ended.wait(20000));
            QCOMPARE(ended.first().first().toBool(), mode == u"export"_s);
            if (mode == u"export"_s) {
                QTRY_COMPARE(flow.state(), UploadFlow::State::Form);
                QVERIFY(flow.filePath().endsWith(u"/qlo.ipa"_s));
                QCOMPARE(flow.record().value(u"packageName"_s), QVariant(u"com.example.demo"_s));
                QCOMPARE(failed.size(), 0);
                flow.backButtonClicked(); // hidden in this mode; does nothing
                QCOMPARE(flow.state(), UploadFlow::State::Form);
            } else {
                QCOMPARE(flow.state(), UploadFlow::State::ExportFailed);
                QCOMPARE(failed.size(), 1);
            }
        }
    }

    // Two exports at once (two windows, two terminals) each get a package of their own, which stays
    // until its flow is discarded (its window closes) and then goes with its folder.
    void twoExportsAtOnceKeepTheirOwnPackages()
    {
        Fixtures::Archive other;
        other.app.info = Fixtures::infoPlist(u"com.example.other"_s, u"2.0"_s, u"7"_s, u"Other"_s);
        const QString archives[] = { TestEnvironment::path(u"Archives/One.xcarchive"_s),
            TestEnvironment::path(u"Archives/Two.xcarchive"_s) };
        QVERIFY2(Fixtures::makeArchive(archives[0]), qPrintable(Fixtures::lastError()));
        QVERIFY2(Fixtures::makeArchive(archives[1], other), qPrintable(Fixtures::lastError()));
        Fixtures::useFakeXcodebuild(u"sleep:1"_s); // both tools run at the same time
        auto first = std::make_unique<UploadFlow>(u"1"_s);
        UploadFlow second(u"1"_s);
        first->exportArchive(archives[0], u"Demo Profile"_s);
        second.exportArchive(archives[1], u"Demo Profile"_s);
        QTRY_VERIFY_WITH_TIMEOUT(
            first->state() == UploadFlow::State::Form && second.state() == UploadFlow::State::Form, 30000);
        QCOMPARE(first->record().value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QCOMPARE(second.record().value(u"packageName"_s), QVariant(u"com.example.other"_s));
        const QString firstPackage = first->filePath();
        const QString secondPackage = second.filePath();
        QVERIFY(firstPackage != secondPackage);
        for (const QString &package : { firstPackage, secondPackage }) {
            QVERIFY2(QFileInfo(package).isFile(), qPrintable(package));
            QCOMPARE(QFileInfo(package).absolutePath().section(u'/', 0, -2), WorkFolder::path());
        }

        first->discard(); // its window closes
        QVERIFY(!QFileInfo::exists(QFileInfo(firstPackage).absolutePath()));
        QVERIFY(QFileInfo(secondPackage).isFile());
        first.reset();
        QVERIFY(QFileInfo(secondPackage).isFile());
    }
};

QUILLO_TEST_MAIN(TestUploadFlow)
#include "tst_uploadflow.moc"
