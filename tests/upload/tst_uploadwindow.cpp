// The upload window driven as a user would, against the stand-in service in strict mode:
// packages made by the real tools are dropped, the form is filled in, the upload runs.

#include "api/CloudClient.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "app/WorkFolder.h"
#include "inspect/PackageInspector.h"
#include "tests/support/Fixtures.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/IconPixels.h"
#include "tests/support/ProcessCheck.h"
#include "tests/support/QrReference.h"
#include "tests/support/TestService.h"
#include "tests/upload/UploadWindowDriver.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/BusyIndicator.h"
#include "ui/QDLodingViewController.h"
#include "upload/QDAppInfoViewController.h"
#include "upload/QDDragDropViewController.h"
#include "upload/QDScreenStack.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

using namespace Qt::StringLiterals;
using namespace UploadWindowDriver;

namespace {
const QString kSuccessQuestion = u"上传完成，是否在浏览器中打开下载页面？"_s;

using Fixtures::sha256Of;
} // namespace

class TestUploadWindow : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_me;
    QString m_ipa;
    QString m_otherIpa;
    QString m_apk;
    int m_disabled = 0;
    int m_enabled = 0;
    int m_suffixes = 0;

    QString newSuffix() { return u"win%1-%2"_s.arg(QCoreApplication::applicationPid()).arg(++m_suffixes); }

    std::optional<TestService::StoredRelease> stored(const QString &shortcut) const
    {
        for (const TestService::StoredRelease &r : m_service.releases()) {
            if (r.shortcut == shortcut)
                return r;
        }
        return std::nullopt;
    }

    // Drops the package and waits for the form.
    static QDAppInfoViewController *dropAndWaitForForm(Opener &opener, const QString &package)
    {
        if (!drop(opener.dropTarget(), { package }))
            return nullptr;
        QDUploadViewController *c = opener.controller.get();
        if (!QTest::qWaitFor(
                [c] { return c->appInfoViewController() && c->flow()->state() == UploadFlow::State::Form; }, 20000))
            return nullptr;
        return c->appInfoViewController();
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
        QDScreenStack::setAnimationDuration(0);
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_me = m_service.registerAndLogin();
        QVERIFY2(m_me.valid(), qPrintable(m_me.error));

        m_ipa = TestEnvironment::path(u"pkg/Demo.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(m_ipa), qPrintable(Fixtures::lastError()));
        Fixtures::App other;
        other.folder = u"Other.app"_s;
        other.info = Fixtures::infoPlist(u"com.example.other"_s, u"2.0"_s, u"7"_s, u"另一个"_s);
        m_otherIpa = TestEnvironment::path(u"pkg/other.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(m_otherIpa, { other }), qPrintable(Fixtures::lastError()));
        Fixtures::Apk apk;
        apk.package = u"com.example.window"_s;
        apk.label = u"安卓演示"_s;
        m_apk = TestEnvironment::path(u"pkg/window demo.apk"_s);
        QVERIFY2(Fixtures::makeApk(m_apk, apk), qPrintable(Fixtures::lastError()));

        NotificationCenter::defaultCenter().addObserver(
            this, Notifications::DisableBuildItem, [this] { ++m_disabled; });
        NotificationCenter::defaultCenter().addObserver(this, Notifications::EnableBuildItem, [this] { ++m_enabled; });
    }

    void init()
    {
        QSLoginModel::setLoginWithUId(m_me.userKey, m_me.loginData);
        Preferences::setValue(u"autoCloseUploadWindow"_s, u"0"_s);
        Alert::clearHistory();
        Browser::clearHistory();
        m_disabled = m_enabled = 0;
    }

    // Drop an .ipa: the form shows the package; the user changes the suffix and writes a
    // description; the upload stores exactly that; the success question carries the QR code and
    // "确定" opens the download page and closes the window.
    void dropAnIpaChangeTheSuffixAndUpload()
    {
        QFile keep(WorkFolder::ensure() + u"/keep.txt"_s);
        QVERIFY(keep.open(QIODevice::WriteOnly));
        keep.close();
        Opener opener(u"0"_s);
        QDUploadViewController *c = opener.controller.get();
        QCOMPARE(m_disabled, 1);
        QCOMPARE(c->windowTitle(), u"Quillo"_s);
        QVERIFY(c->backButton()->isHidden() && c->uploadButton()->isHidden());
        QCOMPARE(c->screenStack()->topScreen(), c->dragDropViewController());
        grab(opener.window.get(), u"drop-target"_s);

        QDAppInfoViewController *form = dropAndWaitForForm(opener, m_ipa);
        QVERIFY(form);
        grab(opener.window.get(), u"form-ios"_s);
        QCOMPARE(c->screenStack()->topScreen(), form);
        QVERIFY(c->uploadButton()->isVisible() && c->backButton()->isVisible());
        QCOMPARE(form->findChild<QLineEdit *>(u"identifierTextField"_s)->text(), u"com.example.demo"_s);
        QCOMPARE(form->findChild<QLineEdit *>(u"versionTextField"_s)->text(), u"1.2.3 (45)"_s);
        QCOMPARE(form->findChild<QLineEdit *>(u"appSizeTextField"_s)->text(), u"0.00MB"_s);
        QVERIFY(form->findChild<QLineEdit *>(u"createdDateTextField"_s)->text().contains(u"年"_s));
        QCOMPARE(form->appNameTextField()->text(), u"Demo"_s);
        QVERIFY(!form->showsDefaultIcon());
        QVERIFY(!form->iconImageView()->pixmap().isNull());
        QVERIFY(form->shortcutUrlTextField()->isEnabled());
        QVERIFY(!form->shortcutUrlTextField()->text().isEmpty()); // the service's proposal
        // The form showed the unpacked icon, then removed what the inspection unpacked and
        // nothing else of the work folder.
        const QString icon = c->appInfo().value(u"iconPath"_s).toString();
        QVERIFY(icon.startsWith(WorkFolder::path() + u"/Payload/"_s));
        QVERIFY(!QFileInfo::exists(icon));
        QVERIFY(!QFileInfo::exists(WorkFolder::path() + u"/Payload"_s));
        QVERIFY(QFileInfo::exists(WorkFolder::path() + u"/keep.txt"_s));

        const QString suffix = newSuffix();
        replace(form->shortcutUrlTextField(), suffix);
        type(form->applicationDescriptionTextField(), u"修复了崩溃\nFaster start"_s);
        replace(form->appNameTextField(), u"Demo Beta"_s);
        Alert::setNextAnswer(0); // "确定" in the success question
        click(c->uploadButton());
        QVERIFY(!c->uploadButton()->isEnabled() && !c->backButton()->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(opener.closeCalls, 1, 20000);

        QCOMPARE(Alert::history(), QStringList { kSuccessQuestion });
        const QString page = u"http://%1/%2"_s.arg(m_service.host(), suffix);
        QCOMPARE(Browser::openedUrls(), QStringList { page });
        QString qrError;
        const QImage qr = QrReference::encode(page, 4, 2, TestEnvironment::path(u"page-qr.png"_s), &qrError);
        QVERIFY2(!qr.isNull(), qPrintable(qrError));
        QVERIFY(QrReference::darkShare(qr) > 0.2);
        QCOMPARE(QrReference::differing(Alert::lastImage(), qr), 0);
        QCOMPARE(c->progressValue(), 1.0);
        QVERIFY(opener.window->isHidden());
        QCOMPARE(m_enabled, 1);

        const auto release = stored(suffix);
        QVERIFY(release);
        QCOMPARE(release->name, u"Demo Beta"_s);
        QCOMPARE(release->description, u"修复了崩溃\nFaster start"_s);
        QCOMPARE(release->packageName, u"com.example.demo"_s);
        QCOMPARE(release->sha256, sha256Of(m_ipa));
    }

    // The form's icon as the window shows it: the package's own (a crushed icon named by
    // Info.plist, no Icon.png; a WebP icon of an .apk), and the default icon for a package without any.
    void theFormShowsTheIconOrTheDefault_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("crushed AppIcon60x60@3x.png") << u"crushed"_s;
        QTest::newRow("WebP icon of an .apk") << u"webp"_s;
        QTest::newRow("no icon at all") << u"none"_s;
    }
    void theFormShowsTheIconOrTheDefault()
    {
        QFETCH(QString, kind);
        Fixtures::App app;
        app.withIcon = false;
        QString reference = TestEnvironment::sourceDir() + u"/ui/images/DefaultIcon.png"_s;
        QString package = TestEnvironment::path(u"pkg/icons.ipa"_s);
        if (kind == u"crushed"_s) {
            reference = TestEnvironment::path(u"pkg/reference.png"_s);
            const QString crushed = TestEnvironment::path(u"pkg/crushed.png"_s);
            QVERIFY2(Fixtures::makeCrushedIcon(crushed, 180, {}, reference), qPrintable(Fixtures::lastError()));
            app.files.insert(u"AppIcon60x60@3x.png"_s, Fixtures::readAll(crushed));
            app.info.insert(u"CFBundleIcons"_s,
                QVariantMap { { u"CFBundlePrimaryIcon"_s,
                    QVariantMap { { u"CFBundleIconFiles"_s, QVariantList { u"AppIcon60x60"_s } } } } });
        }
        if (kind == u"webp"_s) {
            reference = TestEnvironment::path(u"pkg/green.png"_s);
            QVERIFY(Fixtures::makeIcon(reference, 144, u"green"_s)); // what make-apk.sh draws for xxhdpi
            Fixtures::Apk apk;
            apk.webp = true;
            apk.densities = { u"xxhdpi"_s };
            package = TestEnvironment::path(u"pkg/webp.apk"_s);
            QVERIFY2(Fixtures::makeApk(package, apk), qPrintable(Fixtures::lastError()));
        } else {
            QVERIFY2(Fixtures::makeIpa(package, { app }), qPrintable(Fixtures::lastError()));
        }

        Opener opener(u"0"_s);
        QDAppInfoViewController *form = dropAndWaitForForm(opener, package);
        QVERIFY(form);
        QVERIFY(QTest::qWaitForWindowExposed(opener.window.get()));
        QTRY_VERIFY(form->iconImageView()->isVisible());
        const QImage shown = IconPixels::shown(form->iconImageView());
        const QColor background = IconPixels::around(form->iconImageView());
        QVERIFY(IconPixels::coverage(shown, background) > 0.3);
        QCOMPARE(IconPixels::differing(shown, IconPixels::expected(reference, shown.size(), background)), 0);
        QCOMPARE(form->showsDefaultIcon(), kind == u"none"_s);
    }

    // Drop an .apk: the Android layout (publish range hidden, rows moved up into its place, the
    // description grown into the gap); "取消" closes the window without opening anything.
    void dropAnApkShowsTheAndroidLayout()
    {
        Opener opener(u"0"_s);
        QDUploadViewController *c = opener.controller.get();
        QDAppInfoViewController *form = dropAndWaitForForm(opener, m_apk);
        QVERIFY(form);
        QCOMPARE(c->appType(), 2);
        grab(opener.window.get(), u"form-android"_s);
        QCOMPARE(form->findChild<QLineEdit *>(u"identifierTextField"_s)->text(), u"com.example.window"_s);
        QCOMPARE(form->appNameTextField()->text(), u"安卓演示"_s);
        QCOMPARE(form->findChild<QLineEdit *>(u"versionTextField"_s)->text(), u"1.2.3 (42)"_s);
        QVERIFY(!form->showsDefaultIcon());

        // Compare with a form for an iOS package over the same record.
        QVariantMap record = c->appInfo();
        QDAppInfoViewController ios(record, 1);
        auto label = [](QDAppInfoViewController *f, const QString &name) { return f->findChild<QLabel *>(name); };
        QVERIFY(form->uiAdjusted() && !ios.uiAdjusted());
        QVERIFY(form->findChild<QLabel *>(u"publishRangeLabel"_s)->isHidden());
        QVERIFY(form->publisRangePopup()->isHidden());
        QVERIFY(!ios.publisRangePopup()->isHidden());
        const int pitch = label(&ios, u"publishToSquareLabel"_s)->y() - label(&ios, u"publishRangeLabel"_s)->y();
        QVERIFY(pitch > 0);
        QCOMPARE(label(form, u"publishToSquareLabel"_s)->y(), label(&ios, u"publishRangeLabel"_s)->y());
        QCOMPARE(form->publishToSquarePopup()->y(), ios.publisRangePopup()->y());
        QCOMPARE(form->installPasswordTextField()->y(), ios.installPasswordTextField()->y() - pitch);
        QCOMPARE(label(form, u"appDescriptionLabel"_s)->y(), label(&ios, u"appDescriptionLabel"_s)->y() - pitch);
        QCOMPARE(
            form->descriptionViewContainer()->geometry().bottom(), ios.descriptionViewContainer()->geometry().bottom());
        QCOMPARE(form->descriptionViewContainer()->height(), ios.descriptionViewContainer()->height() + pitch);
        QCOMPARE(form->applicationDescriptionTextField()->font().family(), u"Helvetica"_s);
        QCOMPARE(ios.applicationDescriptionTextField()->font().pointSize(), 13);
        // The hidden pop-up still gives its value.
        QCOMPARE(form->getApplicationSetting().value(u"publishRange"_s), QVariant(u"2"_s));

        const QString suffix = newSuffix();
        replace(form->shortcutUrlTextField(), suffix);
        form->publishToSquarePopup()->setCurrentIndex(1);
        Alert::setNextAnswer(1); // "取消"
        click(c->uploadButton());
        QTRY_COMPARE_WITH_TIMEOUT(opener.closeCalls, 1, 20000);
        QCOMPARE(Alert::history(), QStringList { kSuccessQuestion });
        QVERIFY(Browser::openedUrls().isEmpty());
        const auto release = stored(suffix);
        QVERIFY(release);
        QCOMPARE(release->platform, u"android"_s);
        QCOMPARE(release->fileName, u"window demo.apk"_s);
        QCOMPARE(release->sha256, sha256Of(m_apk));
    }

    // A suffix that is taken: the alert, both buttons enabled again, a second try with another
    // suffix works. Then a refused upload: the service's message, the form stays, a second
    // press goes through.
    void takenSuffixAndRefusedUploadThenRetry()
    {
        const TestService::Account other = m_service.registerAndLogin();
        TestService::UploadOptions options;
        options.shortcut = newSuffix();
        QCOMPARE(m_service.upload(other, m_apk, options).code(), 0);

        Opener opener(u"0"_s);
        QDUploadViewController *c = opener.controller.get();
        QDAppInfoViewController *form = dropAndWaitForForm(opener, m_otherIpa);
        QVERIFY(form);
        const int releases = int(m_service.releases().size());
        replace(form->shortcutUrlTextField(), options.shortcut);
        click(c->uploadButton());
        QTRY_COMPARE(Alert::history(), QStringList { u"网址后缀已存在，请更换"_s });
        QTRY_VERIFY(c->uploadButton()->isEnabled() && c->backButton()->isEnabled());
        QVERIFY(c->uploadProgressBar()->isHidden());
        QCOMPARE(int(m_service.releases().size()), releases);

        // The check fails for a malformed suffix, the upload goes ahead, the service refuses it.
        replace(form->shortcutUrlTextField(), u"bad suffix"_s);
        click(c->uploadButton());
        QTRY_COMPARE_WITH_TIMEOUT(Alert::history().size(), 2, 20000);
        QVERIFY2(
            Alert::history().last().startsWith(u"网址后缀“bad suffix”不可用"_s), qPrintable(Alert::history().last()));
        QVERIFY(c->uploadButton()->isEnabled() && c->backButton()->isEnabled());
        QVERIFY(c->uploadProgressBar()->isHidden());
        QCOMPARE(c->screenStack()->topScreen(), form);
        QCOMPARE(c->flow()->state(), UploadFlow::State::Form);
        QCOMPARE(opener.closeCalls, 0);

        const QString suffix = newSuffix();
        replace(form->shortcutUrlTextField(), suffix);
        Alert::setNextAnswer(1);
        click(c->uploadButton());
        QTRY_COMPARE_WITH_TIMEOUT(opener.closeCalls, 1, 20000);
        QCOMPARE(Alert::history().last(), kSuccessQuestion);
        QVERIFY(stored(suffix));
    }

    // A second package dropped while the first one's prepare call is out: only its form comes.
    // Back returns to the drop target, which takes the next package.
    void secondDropAndBack()
    {
        Opener opener(u"0"_s);
        QDUploadViewController *c = opener.controller.get();
        QVERIFY(drop(opener.dropTarget(), { m_ipa }));
        QCOMPARE(c->flow()->state(), UploadFlow::State::Preparing);
        QVERIFY(drop(opener.dropTarget(), { m_otherIpa }));
        QTRY_VERIFY(c->appInfoViewController());
        roundTrip(); // the first call's reply, had it not been cancelled, would be in by now
        QCOMPARE(c->screenStack()->depth(), 2);
        QCOMPARE(c->appInfoViewController()->appNameTextField()->text(), u"另一个"_s);

        click(c->backButton());
        QCOMPARE(c->screenStack()->topScreen(), c->dragDropViewController());
        QVERIFY(c->uploadButton()->isHidden() && c->backButton()->isHidden());
        QCOMPARE(c->flow()->state(), UploadFlow::State::WaitingForDrop);
        QTRY_VERIFY(!c->findChild<QDAppInfoViewController *>());

        QDAppInfoViewController *form = dropAndWaitForForm(opener, m_apk);
        QVERIFY(form);
        QCOMPARE(form->appNameTextField()->text(), u"安卓演示"_s);
        QCOMPARE(c->appInfo().value(u"packageName"_s), QVariant(u"com.example.window"_s));
    }

    // With the automatic close on, success and failure both close the window without a word.
    void autoCloseOnSuccessAndOnFailure()
    {
        Preferences::setValue(u"autoCloseUploadWindow"_s, u"1"_s);
        for (const bool succeed : { true, false }) {
            Opener opener(u"0"_s);
            QDAppInfoViewController *form = dropAndWaitForForm(opener, m_ipa);
            QVERIFY(form);
            replace(form->shortcutUrlTextField(), succeed ? newSuffix() : u"no way!"_s);
            click(opener.controller->uploadButton());
            QTRY_COMPARE_WITH_TIMEOUT(opener.closeCalls, 1, 20000);
            QVERIFY(opener.window->isHidden());
            QVERIFY2(Alert::history().isEmpty(), qPrintable(Alert::history().join(u'|')));
            QVERIFY(Browser::openedUrls().isEmpty());
        }
        QCOMPARE(m_enabled, 2);
    }

    // Closing the window during an upload, or deleting the controller: the upload stops,
    // nothing reaches the controller, no alert, "QD_ENABLE_BUILD_ITEM_NOTIFICATION" once.
    void closingDuringAnUpload()
    {
        const QString big = TestEnvironment::path(u"pkg/big.ipa"_s);
        {
            QFile file(big);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(qint64(1536) * 1024 * 1024)); // sparse: reads as zeros, costs no disk
        }
        const int releases = int(m_service.releases().size());
        for (const bool deleteController : { false, true }) {
            m_enabled = 0;
            Opener opener(u"0"_s);
            QDAppInfoViewController *form = dropAndWaitForForm(opener, m_ipa);
            QVERIFY(form);
            replace(form->shortcutUrlTextField(), newSuffix());
            QDUploadViewController *c = opener.controller.get();
            c->flow()->setFilePath(big); // the package that is being sent
            click(c->uploadButton());
            QTRY_VERIFY_WITH_TIMEOUT(c->progressValue() > 0.0, 20000);
            QVERIFY(c->uploadProgressBar()->isVisible());
            QVERIFY(!c->uploadRateLabel()->text().isEmpty());
            if (qEnvironmentVariableIsSet("QUILLO_UPLOAD_GRAB_DIR")) {
                QTest::qWait(600); // let the rate settle for the picture
                grab(opener.window.get(), u"uploading"_s);
            }
            QVERIFY(c->progressValue() < 0.5);
            if (deleteController) {
                opener.controller.reset();
                QCOMPARE(m_enabled, 0); // the window is still open, showing nothing
                opener.window->close();
            } else {
                opener.window->close();
                QCOMPARE(c->flow()->state(), UploadFlow::State::Discarded);
                const double at = c->progressValue();
                roundTrip(); // progress queued before the window went would have come before this
                QCOMPARE(c->progressValue(), at);
            }
            QCOMPARE(m_enabled, 1);
            opener.window->close(); // again: still once
            QCOMPARE(m_enabled, 1);
            roundTrip();
            QVERIFY(Alert::history().isEmpty());
            QCOMPARE(opener.closeCalls, 0);
        }
        QCOMPARE(int(m_service.releases().size()), releases);
        QTRY_VERIFY_WITH_TIMEOUT(m_service.temporaryFiles().isEmpty(), 10000);
    }

    // Export mode: the loading view turns; a successful export goes straight to the form with
    // back hidden; a failed one shows "解析失败" and the alert, then the window closes.
    void exportWindowStates()
    {
        const QString archive = TestEnvironment::path(u"Archives/Demo 1.xcarchive"_s);
        QVERIFY2(Fixtures::makeArchive(archive), qPrintable(Fixtures::lastError()));

        Fixtures::useFakeXcodebuild(u"export"_s);
        {
            Opener opener(u"1"_s);
            QDUploadViewController *c = opener.controller.get();
            QCOMPARE(c->screenStack()->topScreen(), c->loadingViewController());
            QVERIFY(c->loadingViewController()->loadingIndicator()->isAnimating());
            QVERIFY(c->backButton()->isHidden() && c->uploadButton()->isHidden());
            c->exportArchive(archive, u"Demo Profile"_s);
            QTRY_VERIFY_WITH_TIMEOUT(c->appInfoViewController(), 20000);
            QVERIFY(!c->loadingViewController()->loadingIndicator()->isAnimating());
            QVERIFY(c->backButton()->isHidden());
            QVERIFY(c->uploadButton()->isVisible());
            QCOMPARE(c->appInfoViewController()->appNameTextField()->text(), u"Demo"_s);
            // The clean-up after the form leaves the exported package for the upload.
            QVERIFY(QFileInfo::exists(c->filePath()));
        }

        Fixtures::useFakeXcodebuild(u"fail"_s);
        m_enabled = 0;
        Opener opener(u"1"_s);
        QDUploadViewController *c = opener.controller.get();
        Alert::setNextAnswer(0);
        c->exportArchive(archive, u"Demo Profile"_s);
        QTRY_COMPARE_WITH_TIMEOUT(opener.closeCalls, 1, 20000);
        QCOMPARE(c->loadingViewController()->loadingText()->text(), u"解析失败"_s);
        grab(opener.window.get(), u"export-failed"_s);
        QVERIFY(!c->loadingViewController()->loadingIndicator()->isAnimating());
        QCOMPARE(Alert::history(), QStringList { u"生成ipa失败，请检查证书及签名文件是否正确!"_s });
        QVERIFY(opener.window->isHidden());
        QCOMPARE(m_enabled, 1);
    }

    // Closing the window during an export: the window closes without waiting for a build tool that
    // ignores SIGTERM; the tool, what it started and the export's folder go soon after.
    void closingDuringAnExportDoesNotWaitForTheTool()
    {
        const QString archive = TestEnvironment::path(u"Archives/Stubborn.xcarchive"_s);
        QVERIFY2(Fixtures::makeArchive(archive), qPrintable(Fixtures::lastError()));
        const QString dir = TestEnvironment::path(u"stubborn/x"_s).chopped(2);
        QFile tool(dir + u"/xcodebuild"_s);
        QVERIFY(tool.open(QIODevice::WriteOnly));
        tool.write("#!/bin/sh\ntrap '' TERM\nsleep 600 &\necho $! > \"" + QFile::encodeName(dir)
            + "/child\"\nprintf '%s' \"$7\" > \"" + QFile::encodeName(dir) + "/package\"\necho $$ > \""
            + QFile::encodeName(dir) + "/pid\"\nwait\n");
        tool.close();
        tool.setPermissions(tool.permissions() | QFile::ExeOwner);
        const QByteArray saved = qgetenv("QUILLO_XCODEBUILD");
        qputenv("QUILLO_XCODEBUILD", QFile::encodeName(tool.fileName()));

        Opener opener(u"1"_s);
        opener.controller->exportArchive(archive, u"Demo Profile"_s);
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCheck::pidFromFile(dir + u"/pid"_s) > 0, 10000);
        qputenv("QUILLO_XCODEBUILD", saved);
        const qint64 pid = ProcessCheck::pidFromFile(dir + u"/pid"_s);
        const qint64 child = ProcessCheck::pidFromFile(dir + u"/child"_s);
        const QString folder = QFileInfo(QString::fromUtf8(Fixtures::readAll(dir + u"/package"_s))).absolutePath();
        QVERIFY2(
            QFileInfo(folder).isDir() && folder.startsWith(WorkFolder::path() + u"/export-"_s), qPrintable(folder));

        opener.window->close();
        QVERIFY(ProcessCheck::isRunning(pid)); // not waited for
        QCOMPARE(m_enabled, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!ProcessCheck::isRunning(pid) && !ProcessCheck::isRunning(child), 10000);
        QTRY_VERIFY(!QFileInfo::exists(folder));
    }

    // Without aapt the window says why the package cannot be read and stays on the drop target.
    void missingAaptIsExplained()
    {
        const QByteArray saved = qgetenv("QUILLO_RESOURCE_DIR");
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(TestEnvironment::path(u"no-tools/x"_s)).chopped(2));
        Opener opener(u"0"_s);
        QDUploadViewController *c = opener.controller.get();
        QVERIFY(drop(opener.dropTarget(), { m_apk }));
        QTRY_VERIFY_WITH_TIMEOUT(c->messageLabel()->isVisible(), 20000);
        qputenv("QUILLO_RESOURCE_DIR", saved);
        QVERIFY(c->messageLabel()->text().contains(u"aapt"_s));
        QCOMPARE(c->flow()->state(), UploadFlow::State::WaitingForDrop);
        QCOMPARE(c->screenStack()->topScreen(), c->dragDropViewController());
        // The next package clears the message.
        QVERIFY(dropAndWaitForForm(opener, m_ipa));
        QVERIFY(c->messageLabel()->isHidden());
    }
};

QUILLO_GUI_TEST_MAIN(TestUploadWindow)
#include "tst_uploadwindow.moc"
