#include "app/Config.h"
#include "app/Preferences.h"
#include "ui/VersionCheck.h"
#include "builds/ArchiveFolderWatch.h"
#include "builds/QDApplicationCellView.h"
#include "builds/QDMenuView.h"
#include "builds/QDWelcomeViewController.h"
#include "inspect/PackageFormat.h"
#include "tests/builds/TestShell.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/Fixtures.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/ShownText.h"
#include "tests/support/IconPixels.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"
#include "ui/Alert.h"
#include "upload/QDDragDropViewController.h"
#include "upload/QDUploadViewController.h"
#include "upload/QDUploadWindowController.h"

#include <QDir>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QWidgetAction>

using namespace Qt::StringLiterals;

// The recent-builds screen over real archive folders in a temporary home, with real folder
// changes seen by its watch (latency one second).
class RecentBuildsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestShell> m_shell;
    std::unique_ptr<QWidget> m_window;
    QPointer<QDWelcomeViewController> m_screen;
    const QDateTime m_base = QDateTime::currentDateTime().addDays(-1);

    static QString archives() { return Config::archivesDir(); }

    static void make(const QString &relative, ArchiveTree::Layout fixture = {})
    {
        QVERIFY2(ArchiveTree::make(archives() + u'/' + relative, fixture), qPrintable(ArchiveTree::lastError()));
    }
    // Archive i: "App<i>" <i>.0 (<i>), com.example.app<i>, modified i minutes after the base time.
    void makeNumbered(int i, const QString &day = u"2024-05-01"_s)
    {
        ArchiveTree::Layout fixture;
        fixture.identifier = u"com.example.app%1"_s.arg(i);
        fixture.name = u"App%1"_s.arg(i);
        fixture.version = u"%1.0"_s.arg(i);
        fixture.build = QString::number(i);
        fixture.modified = m_base.addSecs(60 * i);
        make(u"%1/App%2.xcarchive"_s.arg(day).arg(i), fixture);
    }

    void build()
    {
        m_window = std::make_unique<QWidget>();
        m_screen = new QDWelcomeViewController(m_shell.get(), m_window.get());
        auto *layout = new QVBoxLayout(m_window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_screen);
        m_window->resize(640, 520);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    QStringList sortedNames() const
    {
        QStringList names;
        for (const QDArchiveModel &archive : m_screen->sortedRecentlyBuild())
            names.append(archive.appName().value_or(QString()));
        return names;
    }
    QStringList entryNames() const
    {
        QStringList names;
        for (QAction *entry : m_shell->entries()) {
            auto *action = qobject_cast<QWidgetAction *>(entry);
            names.append(action ? action->defaultWidget()->findChild<QLabel *>(u"appNameTextField"_s)->text()
                                : u"<placeholder>"_s);
        }
        return names;
    }
    QList<int> entryTags() const
    {
        QList<int> tags;
        for (QAction *entry : m_shell->entries())
            tags.append(entry->data().toInt());
        return tags;
    }
    QDApplicationCellView *cell(int row) const
    {
        return qobject_cast<QDApplicationCellView *>(m_screen->recentlyBuildTable()->cellWidget(row, 0));
    }
    // Waits for the scan that follows a folder change.
    void waitForRescan(int scansBefore) { QTRY_VERIFY_WITH_TIMEOUT(m_screen->scanCount() > scansBefore, 5000); }
    // The path of the archive the fake build tool was last asked to export.
    static QString exported() { return Fixtures::fakeXcodebuildArguments().value(4); }
    // Empty when the label's text is drawn in `expected`, read from the pixels of the label's area
    // as context (the table's viewport, the menu entry) draws it: of those pixels, the one
    // farthest from the most frequent one (the background) is the text's full colour.
    static QString inkMismatch(QWidget *context, const QLabel *label, const QColor &expected)
    {
        const QImage image = context->grab(QRect(label->mapTo(context, QPoint(0, 0)), label->size())).toImage();
        QHash<QRgb, int> counts;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                ++counts[image.pixel(x, y) | 0xff000000];
        QRgb background = 0;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            if (!counts.contains(background) || it.value() > counts.value(background))
                background = it.key();
        auto distance = [](QRgb a, QRgb b) {
            return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
        };
        QRgb ink = background;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            if (distance(it.key(), background) > distance(ink, background))
                ink = it.key();
        if (ink == background)
            return u"no text drawn in "_s + label->objectName();
        const QRgb want = expected.rgb();
        if (qAbs(qRed(ink) - qRed(want)) > 12 || qAbs(qGreen(ink) - qGreen(want)) > 12
            || qAbs(qBlue(ink) - qBlue(want)) > 12)
            return u"%1 drawn in %2, expected %3"_s.arg(label->objectName(), QColor(ink).name(), expected.name());
        return {};
    }
    QString cellInk(int row, QLabel *(QDApplicationCellView::*field)() const, const QColor &expected) const
    {
        return inkMismatch(m_screen->recentlyBuildTable()->viewport(), (cell(row)->*field)(), expected);
    }
    static QImage defaultIcon(int size)
    {
        return QPixmap(u":/images/DefaultIcon.png"_s)
            .scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
            .toImage();
    }

private slots:
    void init()
    {
        QDir(archives()).removeRecursively();
        QDir(QDir::homePath() + u"/Library"_s).removeRecursively();
        Preferences::remove(u"isAutoUpdate"_s);
        Alert::clearHistory();
        Fixtures::useFakeXcodebuild();
        m_shell = std::make_unique<TestShell>();
    }

    void cleanup()
    {
        m_window.reset();
        m_shell.reset();
    }

    void elevenArchivesGiveTenRowsAndFiveEntries()
    {
        for (int i = 0; i < 11; ++i)
            makeNumbered(i, i % 2 ? u"2024-05-01"_s : u"2024-05-02"_s);
        build();

        QCOMPARE(m_screen->recentlyBuild().size(), 11);
        QCOMPARE(sortedNames(),
            (QStringList { u"App10"_s, u"App9"_s, u"App8"_s, u"App7"_s, u"App6"_s, u"App5"_s, u"App4"_s, u"App3"_s,
                u"App2"_s, u"App1"_s, u"App0"_s }));
        QCOMPARE(m_screen->recentlyBuildTable()->rowCount(), 10);
        QCOMPARE(cell(0)->textField()->text(), u"App10 10.0 (10)"_s);
        QCOMPARE(cell(0)->identifierTextField()->text(), u"com.example.app10"_s);
        QCOMPARE(cell(0)->createdDateTextField()->text(), PackageFormat::date(m_base.addSecs(600), QLocale()));
        QCOMPARE(cell(9)->textField()->text(), u"App1 1.0 (1)"_s);
        QVERIFY(cell(0)->imageView()->pixmap().toImage() != defaultIcon(40)); // the archive's own icon
        QCOMPARE(m_screen->recentlyBuildTable()->selectionModel()->selectedRows().value(0).row(), 0);
        // The selected row in the selection's text colour, the others with grey details.
        const QColor selectedText = m_screen->recentlyBuildTable()->palette().color(QPalette::HighlightedText);
        const QColor grey(0x80, 0x80, 0x80);
        QCOMPARE(cellInk(0, &QDApplicationCellView::textField, selectedText), QString());
        QCOMPARE(cellInk(0, &QDApplicationCellView::identifierTextField, selectedText), QString());
        QCOMPARE(cellInk(1, &QDApplicationCellView::textField, Qt::black), QString());
        QCOMPARE(cellInk(1, &QDApplicationCellView::identifierTextField, grey), QString());
        m_screen->recentlyBuildTable()->selectRow(1);
        QCOMPARE(cellInk(0, &QDApplicationCellView::identifierTextField, grey), QString());
        QCOMPARE(cellInk(1, &QDApplicationCellView::textField, selectedText), QString());
        m_screen->recentlyBuildTable()->selectRow(0);

        QCOMPARE(entryNames(), (QStringList { u"App10"_s, u"App9"_s, u"App8"_s, u"App7"_s, u"App6"_s }));
        QCOMPARE(entryTags(), (QList<int> { 0, 1, 2, 3, 4 }));
        QCOMPARE(m_shell->commands(), TestShell::kCommands);
        QCOMPARE(m_screen->buildItemcount(), 5);
        QVERIFY(!m_shell->redundantItemRemoved()); // five archives fill every slot
        QVERIFY(m_shell->statusItem()->isEnabled());

        // The first scan records the newest archive without a notification.
        QCOMPARE(m_screen->newestArchive()->appName(), u"App10"_s);
        QCOMPARE(m_shell->notifier().notifications().size(), 0);
        QVERIFY(!m_screen->nobuildTextField()->isVisible());
    }

    void whatTheScanLeavesOut()
    {
        ArchiveTree::Layout plain;
        plain.name = u"Plain"_s;
        plain.identifier = u"com.example.plain"_s;
        plain.build.clear();
        plain.withIcon = false;
        plain.modified = m_base.addSecs(30);
        make(u"2024-05-01/Plain.xcarchive"_s, plain);
        ArchiveTree::Layout noSuffix;
        noSuffix.name = u"NoSuffix"_s;
        noSuffix.modified = m_base.addSecs(60);
        make(u"2024-05-02/folder without extension"_s, noSuffix); // no extension check
        ArchiveTree::Layout hidden;
        hidden.name = u"Hidden"_s;
        hidden.modified = m_base.addSecs(90);
        make(u".hidden/Hidden.xcarchive"_s, hidden);
        make(u"2024-05-01/.Dot.xcarchive"_s, hidden);
        ArchiveTree::Layout noIdentifier;
        noIdentifier.identifier.clear();
        make(u"2024-05-01/NoIdentifier.xcarchive"_s, noIdentifier);
        QVERIFY(QDir().mkpath(archives() + u"/2024-05-01/Empty.xcarchive"_s));
        QFile notes(archives() + u"/notes.txt"_s);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.close();
        build();

        QCOMPARE(sortedNames(), (QStringList { u"NoSuffix"_s, u"Plain"_s }));
        QCOMPARE(m_screen->recentlyBuild().size(), 2);
        // No icon file: the default image, in the table and in the menu. No build number: the
        // version line of the menu entry stays as built.
        QCOMPARE(cell(1)->imageView()->pixmap().toImage(), defaultIcon(40));
        QCOMPARE(cell(1)->textField()->text(), u"Plain 1.2.3 ()"_s);
        auto *plainEntry = qobject_cast<QWidgetAction *>(m_shell->entries().value(1));
        QVERIFY(plainEntry);
        QCOMPARE(plainEntry->defaultWidget()->findChild<QLabel *>(u"applicationImageView"_s)->pixmap().toImage(),
            defaultIcon(36));
        QCOMPARE(plainEntry->defaultWidget()->findChild<QLabel *>(u"applicationVersionTextField"_s)->text(), QString());
        auto *first = qobject_cast<QWidgetAction *>(m_shell->entries().value(0));
        QCOMPARE(first->defaultWidget()->findChild<QLabel *>(u"applicationVersionTextField"_s)->text(),
            u"Version 1.2.3 (45)"_s);
        QCOMPARE(first->defaultWidget()->findChild<QLabel *>(u"lastModifiedTextField"_s)->text(),
            PackageFormat::date(m_base.addSecs(60), QLocale()));
    }

    // Icons as the screen and the open status menu show them: an archive whose icons are crushed
    // and named by its Info.plist, and one without any icon (the default icon).
    void iconsInRowsAndMenuEntries()
    {
        const QString reference = TestEnvironment::path(u"reference.png"_s);
        const QString crushed = TestEnvironment::path(u"crushed.png"_s);
        QVERIFY2(Fixtures::makeCrushedIcon(crushed, 120, {}, reference), qPrintable(Fixtures::lastError()));
        Fixtures::Archive withIcons;
        withIcons.app.withIcon = false;
        withIcons.app.files = { { u"AppIcon60x60@2x.png"_s, Fixtures::readAll(crushed) } };
        withIcons.app.info.insert(u"CFBundleIconFiles"_s, QVariantList { u"AppIcon60x60"_s });
        const QString first = archives() + u"/2024-05-01/Icons.xcarchive"_s;
        QVERIFY2(Fixtures::makeArchive(first, withIcons), qPrintable(Fixtures::lastError()));
        QVERIFY(ArchiveTree::setModified(first, m_base.addSecs(120)));
        Fixtures::Archive bare;
        bare.app.withIcon = false;
        const QString second = archives() + u"/2024-05-01/Bare.xcarchive"_s;
        QVERIFY2(Fixtures::makeArchive(second, bare), qPrintable(Fixtures::lastError()));
        QVERIFY(ArchiveTree::setModified(second, m_base));
        build();

        const QStringList expectedFiles { reference, TestEnvironment::sourceDir() + u"/ui/images/DefaultIcon.png"_s };
        // What differs between the shown icon and the file drawn as the view draws it ("" when nothing).
        auto mismatch = [](QWidget *view, const QString &file) -> QString {
            if (!view->isVisible())
                return u"not shown"_s;
            const QImage shown = IconPixels::shown(view);
            const QColor background = IconPixels::around(view);
            if (IconPixels::coverage(shown, background) <= 0.3)
                return u"mostly background"_s;
            const int differing = IconPixels::differing(shown, IconPixels::expected(file, shown.size(), background));
            return differing == 0 ? QString() : u"%1 pixels differ from %2"_s.arg(differing).arg(file);
        };
        for (int row = 0; row < 2; ++row) {
            const QString error = mismatch(cell(row)->imageView(), expectedFiles.at(row));
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }

        m_shell->menu().popup(QPoint(0, 0));
        QVERIFY(QTest::qWaitForWindowExposed(&m_shell->menu()));
        for (int entry = 0; entry < 2; ++entry) {
            auto *action = qobject_cast<QWidgetAction *>(m_shell->entries().value(entry));
            QVERIFY(action);
            QLabel *image = action->defaultWidget()->findChild<QLabel *>(u"applicationImageView"_s);
            QTRY_VERIFY(image->isVisible());
            const QString error = mismatch(image, expectedFiles.at(entry));
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        m_shell->menu().close();
    }

    void noArchiveShowsTheCentredLabel()
    {
        build(); // not even the archive folder exists
        QCOMPARE(m_screen->recentlyBuildTable()->rowCount(), 0);
        QLabel *label = m_screen->nobuildTextField();
        QVERIFY(label->isVisible());
        QCOMPARE(label->text(), QDWelcomeViewController::kNoBuildText);
        auto centred = [this, label] {
            const QRect frame(
                m_screen->tableContainer()->mapTo(m_screen, QPoint(0, 0)), m_screen->tableContainer()->size());
            return qAbs(label->geometry().center().x() - frame.center().x()) <= 1
                && qAbs(label->geometry().center().y() - frame.center().y()) <= 1;
        };
        QVERIFY(centred());
        m_window->resize(900, 700);
        QTRY_VERIFY(centred());

        // Every slot went, the commands stayed, and the status item is enabled all the same.
        QCOMPARE(m_shell->entries().size(), 0);
        QCOMPARE(m_shell->commands(), TestShell::kCommands);
        QVERIFY(m_shell->redundantItemRemoved());
        QVERIFY(m_shell->statusItem()->isEnabled());
        QVERIFY(!m_screen->newestArchive());

        // Actions on an empty list do nothing.
        m_screen->doubleClicked(0);
        m_screen->openArchive();
        QVERIFY(!m_screen->uploadWindow());
    }

    void theMenuFollowsEveryFill()
    {
        build();
        QCOMPARE(m_shell->entries().size(), 0);
        const qsizetype fixed = m_shell->menu().actions().size();
        int made = 0;
        for (const int count : { 2, 4, 7 }) {
            while (made < count)
                makeNumbered(made++);
            const QList<QAction *> before = m_shell->entries();
            m_screen->getRecentlyBuilds();
            const int shown = qMin(count, 5);
            QCOMPARE(m_shell->entries().size(), shown);
            QCOMPARE(m_shell->menu().actions().size(), fixed + shown);
            QCOMPARE(entryNames().first(), u"App%1"_s.arg(count - 1));
            QCOMPARE(entryTags(), QList<int>({ 0, 1, 2, 3, 4 }).mid(0, shown));
            QCOMPARE(m_shell->commands(), TestShell::kCommands);
            for (QAction *old : before)
                QVERIFY(!m_shell->menu().actions().contains(old)); // entries are built anew
        }
        // Three left, then none.
        for (int i = 6; i >= 3; --i)
            QVERIFY(QDir(archives() + u"/2024-05-01/App%1.xcarchive"_s.arg(i)).removeRecursively());
        m_screen->getRecentlyBuilds();
        QCOMPARE(entryNames(), (QStringList { u"App2"_s, u"App1"_s, u"App0"_s }));
        QVERIFY(QDir(archives()).removeRecursively());
        m_screen->getRecentlyBuilds();
        QCOMPARE(m_shell->entries().size(), 0);
        QCOMPARE(m_shell->menu().actions().size(), fixed);
        QCOMPARE(m_screen->buildItemcount(), 0);
    }

    void menuEntryHoverAndClick()
    {
        makeNumbered(1);
        makeNumbered(2);
        build();
        auto *entry = qobject_cast<QWidgetAction *>(m_shell->entries().value(1));
        QVERIFY(entry);
        m_shell->menu().popup(QPoint(40, 40));
        QVERIFY(QTest::qWaitForWindowExposed(&m_shell->menu()));
        auto *view = qobject_cast<QDMenuView *>(entry->defaultWidget());
        QVERIFY(view && view->isVisible());
        // A rescan that finds the same builds (the build folders' first scan lands about now) leaves
        // the open menu's entries in place.
        m_screen->getRecentlyBuilds();
        QCOMPARE(m_shell->entries().value(1), entry);
        QVERIFY(view->isVisible());
        auto *name = view->findChild<QLabel *>(u"appNameTextField"_s);
        auto *version = view->findChild<QLabel *>(u"applicationVersionTextField"_s);
        QCOMPARE(inkMismatch(view, name, Qt::black), QString());
        QCOMPARE(inkMismatch(view, version, QDMenuView::windowFrameColor()), QString());

        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), view->mapToGlobal(QPointF(5, 5)));
        QCoreApplication::sendEvent(view, &enter);
        QVERIFY(view->needHighlight());
        QCOMPARE(inkMismatch(view, name, Qt::white), QString());
        QCOMPARE(inkMismatch(view, version, Qt::white), QString());
        const QImage drawn = view->grab().toImage();
        QCOMPARE(drawn.pixelColor(2, 2), QDMenuView::selectionColor(view->palette()));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(view, &leave);
        QCOMPARE(inkMismatch(view, name, Qt::black), QString());
        QCOMPARE(inkMismatch(view, version, QDMenuView::windowFrameColor()), QString());

        // A click exports the entry's archive and closes the menu.
        QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(10, 10));
        QTRY_VERIFY(!m_shell->menu().isVisible());
        QVERIFY(m_screen->uploadWindow());
        QCOMPARE(m_screen->uploadController()->beginView(), u"1"_s);
        QTRY_COMPARE(exported(), archives() + u"/2024-05-01/App1.xcarchive"_s);
        QVERIFY(!m_shell->statusItem()->isEnabled()); // while the upload window is open
        m_screen->closeUpdateWindow();
        QVERIFY(m_shell->statusItem()->isEnabled());
    }

    // An archive's name and identifier are shown as they are, never read as markup, in its row and
    // in its status-menu entry.
    void archiveTextIsNeverMarkup()
    {
        ArchiveTree::Layout fixture;
        fixture.name = u"<h1>SPOOFED</h1><img src=\"/usr/share/icons/x.png\">"_s;
        fixture.identifier = u"com.example.<b>bold</b>"_s;
        make(u"2024-05-01/Spoofed.xcarchive"_s, fixture);
        build();
        QCOMPARE(cell(0)->textField()->text(), fixture.name + u" 1.2.3 (45)"_s);
        m_shell->menu().popup(QPoint(40, 40));
        QVERIFY(QTest::qWaitForWindowExposed(&m_shell->menu()));
        auto *entry = qobject_cast<QWidgetAction *>(m_shell->entries().value(0));
        QVERIFY(entry);
        for (QLabel *label : { cell(0)->textField(), cell(0)->identifierTextField(),
                 entry->defaultWidget()->findChild<QLabel *>(u"appNameTextField"_s) }) {
            QVERIFY2(ShownText::isTelling(label), qPrintable(label->objectName()));
            QVERIFY2(ShownText::howShown(label) == ShownText::As::PlainText, qPrintable(label->objectName()));
        }
        m_shell->menu().hide();
    }

    void tableAndButtons()
    {
        for (int i = 0; i < 3; ++i)
            makeNumbered(i);
        build();
        QTableWidget *table = m_screen->recentlyBuildTable();
        // Double-click on the second row: App1 (rows are newest first).
        QTest::mouseDClick(
            table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(1, 0)).center());
        QTRY_COMPARE(exported(), archives() + u"/2024-05-01/App1.xcarchive"_s);
        QPointer<QDUploadWindowController> first = m_screen->uploadWindow();
        QVERIFY(first && first->isVisible());
        QVERIFY(!m_shell->statusItem()->isEnabled());

        // Below the rows: nothing.
        Fixtures::useFakeXcodebuild();
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, QPoint(20, table->viewport()->height() - 5));
        QCOMPARE(m_screen->uploadWindow(), first.data());

        // The open button exports the selected row; the earlier window goes and the status item
        // stays disabled for the new one.
        table->selectRow(2);
        QTest::mouseClick(m_screen->openButton(), Qt::LeftButton);
        QTRY_COMPARE(exported(), archives() + u"/2024-05-01/App0.xcarchive"_s);
        QVERIFY(!first);
        QVERIFY(!m_shell->statusItem()->isEnabled());
        table->clearSelection();
        QPointer<QDUploadWindowController> second = m_screen->uploadWindow();
        m_screen->openArchive();
        QCOMPARE(m_screen->uploadWindow(), second.data());

        // The upload button opens an empty window on the drop target.
        QTest::mouseClick(m_screen->uploadButton(), Qt::LeftButton);
        QVERIFY(!second);
        QCOMPARE(m_screen->uploadController()->beginView(), u"0"_s);
        QVERIFY(m_screen->uploadController()->dragDropViewController()->isVisible());
        QVERIFY(!m_shell->statusItem()->isEnabled());
        m_screen->uploadWindow()->close(); // the user closes it
        QVERIFY(m_shell->statusItem()->isEnabled());
    }

    void notificationsFollowTheNewestArchive()
    {
        makeNumbered(1);
        build();
        QCOMPARE(m_shell->notifier().notifications().size(), 0);
        const QString app1 = archives() + u"/2024-05-01/App1.xcarchive"_s;

        // A change that leaves the newest archive's time alone: a rescan, and silence.
        int scans = m_screen->scanCount();
        QVERIFY(QDir().mkpath(archives() + u"/2024-05-01/Unrelated"_s));
        waitForRescan(scans);
        QVERIFY(m_screen->archiveChanged());
        QCOMPARE(m_shell->notifier().notifications().size(), 0);

        // The same archive, later: notified.
        scans = m_screen->scanCount();
        QVERIFY(ArchiveTree::setModified(app1, m_base.addSecs(3600)));
        waitForRescan(scans);
        QCOMPARE(m_shell->notifier().notifications().size(), 1);
        const DesktopNotification notice = m_shell->notifier().notifications().last();
        QCOMPARE(notice.title, u"App1 1.0 (1)"_s);
        QCOMPARE(notice.informativeText, u"com.example.app1"_s);
        QCOMPARE(notice.actionButtonTitle, u"上传"_s);
        QCOMPARE(notice.soundName, DesktopNotification::kDefaultSound);

        // A new archive: notified.
        scans = m_screen->scanCount();
        makeNumbered(90);
        waitForRescan(scans);
        QCOMPARE(m_shell->notifier().notifications().size(), 2);
        QCOMPARE(m_shell->notifier().notifications().last().title, u"App90 90.0 (90)"_s);

        // The newest deleted: the next one is recorded, silently.
        scans = m_screen->scanCount();
        QVERIFY(QDir(archives() + u"/2024-05-01/App90.xcarchive"_s).removeRecursively());
        waitForRescan(scans);
        QCOMPARE(m_screen->newestArchive()->appName(), u"App1"_s);
        QCOMPARE(m_shell->notifier().notifications().size(), 2);

        // Only the notification's button exports the recorded archive.
        const DesktopNotification any;
        m_screen->userNotificationCenterDidActivateNotification(any, DesktopNotifier::Activation::ContentsClicked);
        QVERIFY(!m_screen->uploadWindow());
        m_screen->userNotificationCenterDidActivateNotification(any, DesktopNotifier::Activation::ActionButtonClicked);
        QVERIFY(m_screen->uploadWindow());
        QTRY_COMPARE(exported(), app1);
    }

    void theFolderCreatedLaterAndAFirstArchive()
    {
        build();
        QVERIFY(m_screen->nobuildTextField()->isVisible());
        const int scans = m_screen->scanCount();
        makeNumbered(5); // creates the whole path below the home folder
        QTRY_VERIFY_WITH_TIMEOUT(m_screen->sortedRecentlyBuild().size() == 1, 8000);
        QVERIFY(m_screen->scanCount() > scans);
        // No archive was recorded before: the first one is notified.
        QTRY_COMPARE(m_shell->notifier().notifications().size(), 1);
        QCOMPARE(m_screen->recentlyBuildTable()->rowCount(), 1);
        QVERIFY(!m_screen->nobuildTextField()->isVisible());
        QCOMPARE(m_shell->entries().size(), 1);
    }

    void aBurstOfChangesGivesOneOrTwoRescans()
    {
        makeNumbered(1);
        build();
        QTRY_VERIFY(!m_screen->archiveFolderWatch()->isArming());
        const int scans = m_screen->scanCount();
        for (int i = 0; i < 300; ++i) {
            const QString dir = archives() + u"/burst%1/B%2.xcarchive/Products"_s.arg(i % 5).arg(i);
            QVERIFY(QDir().mkpath(dir));
        }
        waitForRescan(scans);
        QCOMPARE(m_shell->notifier().notifications().size(), 0); // none of them is an archive
        // An archive made after the burst: its rescan, seen in the list, comes after a second
        // batch of the burst (if the burst straddled the latency), or is that batch.
        makeNumbered(2);
        QTRY_COMPARE_WITH_TIMEOUT(m_screen->sortedRecentlyBuild().size(), 2, 8000);
        const int rescans = m_screen->scanCount() - scans;
        QVERIFY2(rescans == 2 || rescans == 3, qPrintable(QString::number(rescans)));
        QCOMPARE(m_shell->notifier().notifications().size(), 1);
        QCOMPARE(m_shell->notifier().notifications().last().title, u"App2 2.0 (2)"_s);
    }

    void launchReportAndAutomaticVersionCheck()
    {
        const QString url = u"http://127.0.0.1:1/quillo-9.9.9.deb"_s;
        TestService service({ u"--newest-version"_s, u"9.9.9"_s, u"--newest-url"_s, url });
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        service.setAsServiceHost();

        // The service's own record of version checks: the lines of its request log.
        auto checks = [&service] { return service.log().count("/apiv1/desktop/checkNewestVersion"); };
        Preferences::setValue(u"isAutoUpdate"_s, u"2"_s); // only 1 is on
        build();
        QTRY_COMPARE(service.launchCount(u"launch"_s), 1);
        m_window.reset();

        Preferences::setValue(u"isAutoUpdate"_s, u"1"_s);
        Alert::setNextAnswer(1); // "取消"
        build();
        QTRY_COMPARE(Alert::history(), QStringList { u"发现新版本，是否前往更新？"_s });
        QCOMPARE(m_screen->newVersionURL(), url);
        QTRY_COMPARE(service.launchCount(u"launch"_s), 2);
        // One check in all: the one just answered (the first screen's would have come long before).
        // The service logs a request once it has answered: a call of the test's own, logged,
        // comes after the check's line.
        QCOMPARE(service.call(u"config/constants"_s).code(), 0);
        QTRY_VERIFY(service.log().contains("/apiv1/config/constants"));
        QCOMPARE(checks(), 1);
        qputenv("QUILLO_SERVICE_HOST", "127.0.0.1:9");
    }
};

QUILLO_GUI_TEST_MAIN(RecentBuildsTest)
#include "tst_recentbuilds.moc"
