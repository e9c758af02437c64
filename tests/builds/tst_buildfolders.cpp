#include "account/BuildFoldersEditor.h"
#include "account/QDPreferenceAdvanceController.h"
#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "builds/BuildFolderCatalog.h"
#include "builds/BuildFolders.h"
#include "builds/QDApplicationCellView.h"
#include "builds/QDWelcomeViewController.h"
#include "tests/builds/BuildTree.h"
#include "tests/builds/TestShell.h"
#include "tests/support/Skips.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/FileAccess.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/TestService.h"
#include "upload/QDAppInfoViewController.h"
#include "upload/QDScreenStack.h"
#include "upload/QDUploadViewController.h"
#include "upload/QDUploadWindowController.h"
#include "ui/Alert.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <thread>

using namespace Qt::StringLiterals;

namespace {
bool g_permissionsHold = false;
}

// The build folders end to end: the recent-builds screen and the Advanced pane over real
// Gradle-like trees into which real aapt-made packages are copied while they run, with the
// stand-in service behind the upload form.
class BuildFoldersTest : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_me;
    std::unique_ptr<TestShell> m_shell;
    std::unique_ptr<QWidget> m_window;
    QPointer<QDWelcomeViewController> m_screen;
    int m_case = 0;

    static QDateTime minutesAgo(int minutes) { return QDateTime::currentDateTime().addSecs(-60 * minutes); }
    QString folder(const QString &name) const { return TestEnvironment::path(u"case%1/%2"_s.arg(m_case).arg(name)); }

    void build()
    {
        m_window = std::make_unique<QWidget>();
        m_screen = new QDWelcomeViewController(m_shell.get(), m_window.get());
        auto *layout = new QVBoxLayout(m_window.get());
        layout->addWidget(m_screen);
        m_window->resize(640, 520);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    BuildFolderCatalog *catalogue() const { return m_screen->buildFolderCatalog(); }
    // Waits for a scan of the build folders that starts after now.
    void waitForScan()
    {
        const int before = catalogue()->scanCount();
        QTRY_VERIFY_WITH_TIMEOUT(catalogue()->scanCount() > before && !catalogue()->isScanning(), 15000);
    }
    QDApplicationCellView *cell(int row) const
    {
        return qobject_cast<QDApplicationCellView *>(m_screen->recentlyBuildTable()->cellWidget(row, 0));
    }
    QStringList rowTitles() const
    {
        QStringList titles;
        for (int row = 0; row < m_screen->recentlyBuildTable()->rowCount(); ++row)
            titles.append(cell(row)->textField()->text());
        return titles;
    }
    QStringList menuNames() const
    {
        QStringList names;
        for (QAction *entry : m_shell->entries()) {
            if (auto *action = qobject_cast<QWidgetAction *>(entry))
                names.append(action->defaultWidget()->findChild<QLabel *>(u"appNameTextField"_s)->text());
        }
        return names;
    }
    void doubleClickRow(int row)
    {
        QTableWidget *table = m_screen->recentlyBuildTable();
        QTest::mouseDClick(
            table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(row, 0)).center());
    }
    // The form of the upload window the screen opened last, once the service has prepared it.
    QDAppInfoViewController *waitForForm()
    {
        QDUploadViewController *controller = m_screen->uploadController();
        if (!controller || !QTest::qWaitFor([controller] { return controller->appInfoViewController(); }, 20000))
            return nullptr;
        return controller->appInfoViewController();
    }

private slots:
    void initTestCase()
    {
        QDScreenStack::setAnimationDuration(0);
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_me = m_service.registerAndLogin();
        QVERIFY2(m_me.valid(), qPrintable(m_me.error));
        QVERIFY2(!BuildTree::apk().isEmpty(), qPrintable(Fixtures::lastError()));
        QVERIFY2(
            !BuildTree::apk(u"com.example.fresh"_s, u"43"_s, u"Fresh"_s).isEmpty(), qPrintable(Fixtures::lastError()));
        QVERIFY2(!BuildTree::ipa().isEmpty(), qPrintable(Fixtures::lastError()));
    }

    void init()
    {
        ++m_case;
        QSLoginModel::setLoginWithUId(m_me.userKey, m_me.loginData);
        QDir(Config::archivesDir()).removeRecursively();
        BuildFolders::setFolders({});
        Fixtures::useFakeXcodebuild();
        m_shell = std::make_unique<TestShell>();
    }

    void cleanup()
    {
        m_window.reset();
        m_shell.reset();
    }

    void aCopiedPackageIsAnnouncedOnceAfterTheCopyEnds()
    {
        const QString project = folder(u"Fresh"_s);
        QVERIFY(BuildTree::place(BuildTree::apk(), BuildTree::gradleOutput(project, u"release"_s), minutesAgo(10)));
        BuildFolders::setFolders({ project });
        build();
        QTRY_VERIFY_WITH_TIMEOUT(catalogue()->scanCount() >= 1, 15000);
        QCOMPARE(rowTitles(), QStringList { u"Demo 1.2.3 (42)"_s });
        QCOMPARE(m_shell->notifier().notifications().size(), 0); // what was there at the start is not new

        QList<qint64> deliveredAt;
        connect(&m_shell->notifier(), &DesktopNotifier::delivered, this,
            [&] { deliveredAt.append(QDateTime::currentMSecsSinceEpoch()); });

        // Gradle writes its output in pieces; the package holds its size once the copy ends.
        const QString target = BuildTree::gradleOutput(project);
        const QByteArray bytes = Fixtures::readAll(BuildTree::apk(u"com.example.fresh"_s, u"43"_s, u"Fresh"_s));
        std::atomic<qint64> copyEnded { 0 };
        QVERIFY(QDir().mkpath(QFileInfo(target).absolutePath()));
        std::thread writer([&] {
            QFile file(target);
            if (!file.open(QIODevice::WriteOnly))
                return;
            const qsizetype piece = bytes.size() / 8 + 1;
            for (qsizetype at = 0; at < bytes.size(); at += piece) {
                file.write(bytes.mid(at, piece));
                file.flush();
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            file.close();
            copyEnded = QDateTime::currentMSecsSinceEpoch();
        });
        QTRY_VERIFY_WITH_TIMEOUT(!deliveredAt.isEmpty(), 20000);
        writer.join();
        QVERIFY(copyEnded > 0);
        QVERIFY2(deliveredAt.first() >= copyEnded,
            qPrintable(u"announced %1 ms before the copy ended"_s.arg(copyEnded - deliveredAt.first())));
        const DesktopNotification notice = m_shell->notifier().notifications().first();
        QCOMPARE(notice.title, u"Fresh 1.2.3 (43)"_s);
        QCOMPARE(notice.informativeText, u"com.example.fresh"_s);
        QCOMPARE(notice.actionButtonTitle, u"上传"_s);

        // Later changes and scans announce nothing more; an older package copied in is listed, not
        // announced.
        QVERIFY(BuildTree::place(BuildTree::ipa(), project + u"/old.ipa"_s, minutesAgo(30)));
        waitForScan();
        QTRY_VERIFY(!catalogue()->isScanning());
        QCOMPARE(m_shell->notifier().notifications().size(), 1);

        // The list and the menu: the new package first, with its kind's mark.
        QCOMPARE(rowTitles(), (QStringList { u"Fresh 1.2.3 (43)"_s, u"Demo 1.2.3 (42)"_s, u"IosDemo 2.0 (7)"_s }));
        QCOMPARE(cell(0)->kindTextField()->text(), u"Android"_s);
        QVERIFY(cell(0)->kindTextField()->isVisible());
        QCOMPARE(cell(2)->kindTextField()->text(), u"iOS"_s);
        QCOMPARE(cell(0)->identifierTextField()->text(), u"com.example.fresh"_s);
        QCOMPARE(menuNames(), (QStringList { u"Fresh"_s, u"Demo"_s, u"IosDemo"_s }));

        // Its "上传" opens the upload form on that package, read as a drop would.
        m_screen->userNotificationCenterDidActivateNotification(
            notice, DesktopNotifier::Activation::ActionButtonClicked);
        QDAppInfoViewController *form = waitForForm();
        QVERIFY(form);
        QCOMPARE(m_screen->uploadController()->filePath(), target);
        QCOMPARE(m_screen->uploadController()->appInfo().value(u"packageName"_s).toString(), u"com.example.fresh"_s);
        QVERIFY(Fixtures::fakeXcodebuildArguments().isEmpty()); // no export

        // Pressed while a modal alert is open, the button waits until the alert has closed: the
        // code after an alert may still use the window that the press replaces.
        const QPointer<QDUploadViewController> shown = m_screen->uploadController();
        bool pressedUnderTheAlert = false;
        bool replacedUnderTheAlert = false;
        QTimer user;
        user.setInterval(20);
        connect(&user, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            user.stop();
            m_screen->userNotificationCenterDidActivateNotification(
                notice, DesktopNotifier::Activation::ActionButtonClicked);
            pressedUnderTheAlert = true;
            replacedUnderTheAlert = m_screen->uploadController() != shown.data();
            box->findChild<QAbstractButton *>(u"alertButton0"_s)->click();
        });
        user.start();
        Alert::setTestMode(false);
        Alert::modal(u"上传失败"_s);
        Alert::setTestMode(true);
        QVERIFY(pressedUnderTheAlert);
        QVERIFY(!replacedUnderTheAlert);
        QTRY_VERIFY(shown.isNull());
        QVERIFY(waitForForm());
        QCOMPARE(m_screen->uploadController()->filePath(), target);

        // A package rewritten in place (the same file: no folder sees it) is news again, even when
        // its writer stalls halfway for longer than the settling second.
        const QByteArray rebuilt = Fixtures::readAll(BuildTree::apk(u"com.example.demo"_s, u"44"_s));
        std::atomic<qint64> rewritten { 0 };
        std::thread rewriter([&] {
            QFile file(BuildTree::gradleOutput(project, u"release"_s));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return;
            file.write(rebuilt.left(rebuilt.size() / 2));
            file.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            file.write(rebuilt.mid(rebuilt.size() / 2));
            file.close();
            rewritten = QDateTime::currentMSecsSinceEpoch();
        });
        QTRY_COMPARE_WITH_TIMEOUT(deliveredAt.size(), 2, 20000);
        rewriter.join();
        QVERIFY(rewritten > 0 && deliveredAt.last() >= rewritten);
        QCOMPARE(m_shell->notifier().notifications().last().title, u"Demo 1.2.3 (44)"_s);
    }

    void rowsAndMenuEntriesOpenPackagesWithoutAnExport()
    {
        const QString ci = folder(u"ci"_s);
        const QString ipa = ci + u"/nightly/IosDemo.ipa"_s;
        QVERIFY(BuildTree::place(BuildTree::ipa(), ipa, minutesAgo(2)));
        ArchiveTree::Layout fixture;
        fixture.name = u"Archived"_s;
        fixture.modified = minutesAgo(5);
        QVERIFY(ArchiveTree::make(Config::archivesDir() + u"/2024-05-01/Archived.xcarchive"_s, fixture));
        BuildFolders::setFolders({ ci });
        build();
        QTRY_COMPARE_WITH_TIMEOUT(rowTitles(), (QStringList { u"IosDemo 2.0 (7)"_s, u"Archived 1.2.3 (45)"_s }), 15000);
        QCOMPARE(cell(1)->kindTextField()->isVisible(), false); // archives carry no mark

        // A rescan that finds the same packages keeps the rows, the entries and the selection.
        const QPointer<QDApplicationCellView> row = cell(1);
        const QPointer<QAction> entry = m_shell->entries().value(0);
        m_screen->recentlyBuildTable()->selectRow(1);
        catalogue()->rescan();
        waitForScan();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(row && row == cell(1));
        QVERIFY(entry && entry == m_shell->entries().value(0));
        QVERIFY(m_screen->recentlyBuildTable()->selectionModel()->isRowSelected(1, {}));

        doubleClickRow(0);
        QDAppInfoViewController *form = waitForForm();
        QVERIFY(form);
        QCOMPARE(m_screen->uploadController()->filePath(), ipa);
        QCOMPARE(m_screen->uploadController()->appType(), 1);
        QCOMPARE(m_screen->uploadController()->appInfo().value(u"appName"_s).toString(), u"IosDemo"_s);
        QVERIFY(Fixtures::fakeXcodebuildArguments().isEmpty());

        // The archive's row still exports; the package's menu entry opens the package again.
        doubleClickRow(1);
        QTRY_COMPARE(
            Fixtures::fakeXcodebuildArguments().value(4), Config::archivesDir() + u"/2024-05-01/Archived.xcarchive"_s);
        m_screen->menuItemClicked(m_shell->entries().at(0));
        QVERIFY(waitForForm());
        QCOMPARE(m_screen->uploadController()->filePath(), ipa);
    }

    void theAdvancedPaneEditsTheFolders()
    {
        const QString first = folder(u"first"_s);
        const QString second = folder(u"second"_s);
        QVERIFY(BuildTree::place(BuildTree::apk(), BuildTree::gradleOutput(first), minutesAgo(3)));
        QVERIFY(BuildTree::place(BuildTree::ipa(), second + u"/IosDemo.ipa"_s, minutesAgo(4)));
        BuildFolders::setFolders({ first, second });
        build();
        QTRY_COMPARE_WITH_TIMEOUT(rowTitles(), (QStringList { u"Demo 1.2.3 (42)"_s, u"IosDemo 2.0 (7)"_s }), 15000);

        QDPreferenceAdvanceController pane;
        pane.show();
        pane.viewWillAppear();
        BuildFoldersEditor *editor = pane.buildFoldersEditor();
        QListWidget *list = editor->folderList();
        QCOMPARE(list->count(), 2);
        QVERIFY(!editor->removeButton()->isEnabled());

        // Removing a folder takes its builds out of the list and the menu.
        list->setCurrentRow(0);
        QVERIFY(editor->removeButton()->isEnabled());
        QTest::mouseClick(editor->removeButton(), Qt::LeftButton);
        QTRY_COMPARE(rowTitles(), QStringList { u"IosDemo 2.0 (7)"_s });
        QCOMPARE(menuNames(), QStringList { u"IosDemo"_s });
        Preferences::reload();
        QCOMPARE(BuildFolders::folders(), QStringList { second });
        QCOMPARE(list->count(), 1);

        // Adding through the picker; a folder that cannot be read says so on a line of its own.
        QTest::mouseClick(editor->addButton(), Qt::LeftButton);
        QTRY_VERIFY(editor->folderDialog() && editor->folderDialog()->isVisible());
        emit editor->folderDialog()->fileSelected(first);
        QTRY_COMPARE(rowTitles(), (QStringList { u"Demo 1.2.3 (42)"_s, u"IosDemo 2.0 (7)"_s }));
        QCOMPARE(BuildFolders::folders(), (QStringList { second, first }));
        const QString missing = folder(u"not-yet"_s);
        QVERIFY(QDir(missing).removeRecursively());
        BuildFolders::add(missing);
        QTRY_VERIFY(!editor->isChecking());
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->item(2)->text(), missing + u"\n    文件夹不存在"_s);
        QVERIFY(!list->item(0)->text().contains(u'\n'));

        // The folder appears later: it is watched from where it will be, and its package is listed.
        QVERIFY(BuildTree::place(BuildTree::apk(u"com.example.fresh"_s, u"43"_s, u"Fresh"_s),
            BuildTree::gradleOutput(missing), minutesAgo(1)));
        QTRY_VERIFY_WITH_TIMEOUT(rowTitles().contains(u"Fresh 1.2.3 (43)"_s), 15000);
        // Packages of a folder just added, or just readable, are listed, not announced.
        QCOMPARE(m_shell->notifier().notifications().size(), 0);
    }

    void aFolderAddedByQuilloIsFollowed()
    {
        build();
        QTRY_VERIFY_WITH_TIMEOUT(catalogue()->scanCount() >= 1, 15000);
        QCOMPARE(m_screen->recentlyBuildTable()->rowCount(), 0);
        const QString project = folder(u"from-cli"_s);
        QVERIFY(BuildTree::place(BuildTree::apk(), BuildTree::gradleOutput(project), minutesAgo(3)));

        QProcess quillo;
        quillo.start(TestEnvironment::binDir() + u"/quillo"_s, { u"builds"_s, u"--add"_s, project });
        QVERIFY(quillo.waitForFinished(30000));
        QCOMPARE(quillo.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(rowTitles(), QStringList { u"Demo 1.2.3 (42)"_s }, 15000);
        QCOMPARE(catalogue()->folders(), QStringList { project });

        // Renamed away, its builds go; back under its name, they come back, unannounced.
        QVERIFY(QDir().rename(project, project + u"-moved"_s));
        QTRY_COMPARE_WITH_TIMEOUT(m_screen->recentlyBuildTable()->rowCount(), 0, 15000);
        QVERIFY(m_screen->nobuildTextField()->isVisible());
        QVERIFY(QDir().rename(project + u"-moved"_s, project));
        QTRY_COMPARE_WITH_TIMEOUT(rowTitles(), QStringList { u"Demo 1.2.3 (42)"_s }, 15000);
        QCOMPARE(m_shell->notifier().notifications().size(), 0);
    }

    void aFolderThatCannotBeWatchedIsShownOnce()
    {
        if (!g_permissionsHold)
            QUILLO_SKIP(PermissionsIgnored, "permission bits cannot be made to hold for this process");
        const QString closed = Config::archivesDir() + u"/2024-05-02"_s;
        QVERIFY(QDir().mkpath(closed));
        QVERIFY(FileAccess::setMode(closed, 0));
        build();
        QTRY_VERIFY(m_screen->watchWarningLabel()->isVisible());
        const QString shown = m_screen->watchWarningLabel()->text();
        QVERIFY(FileAccess::setMode(closed, 0755));
        QCOMPARE(shown, u"无法监视“%1”的变化（文件夹无法读取），新的构建可能不会自动出现。"_s.arg(closed));
        QVERIFY(m_screen->archiveFolderWatch()->hasWatchFailure());
    }
};

int main(int argc, char *argv[])
{
    // Before any thread exists: threads keep the capabilities they started with.
    g_permissionsHold = FileAccess::dropPermissionOverride();
    TestEnvironment::setUp();
    QApplication app(argc, argv);
    enableGuiTestHooks();
    BuildFoldersTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_buildfolders.moc"
