#include "builds/QDWelcomeViewController.h"

#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "app/Preferences.h"
#include "builds/ArchiveFolderWatch.h"
#include "builds/ArchiveText.h"
#include "builds/BuildFolderCatalog.h"
#include "builds/Logging.h"
#include "builds/PackageText.h"
#include "builds/QDApplicationCellView.h"
#include "builds/QDMenuView.h"
#include "builds/QDMenuViewController.h"
#include "builds/ShellServices.h"
#include "inspect/ArchiveScanner.h"
#include "ui/Alert.h"
#include "ui/QDView.h"
#include "ui/StatusItem.h"
#include "ui/VersionCheck.h"
#include "upload/QDUploadWindowController.h"

#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QWidgetAction>

using namespace Qt::StringLiterals;

namespace {

constexpr int kRowHeight = 58;

// Hands the table's double-clicks to the screen with the row they hit (-1 outside the rows),
// and tells it when the table's frame has moved or changed size.
class TableEvents final : public QObject
{
public:
    TableEvents(QTableWidget *table, std::function<void(int)> doubleClicked, std::function<void()> frameChanged,
        QObject *parent)
        : QObject(parent)
        , m_table(table)
        , m_viewport(table->viewport())
        , m_doubleClicked(std::move(doubleClicked))
        , m_frameChanged(std::move(frameChanged))
    { }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // The viewport is compared by the pointer kept at the start: events also arrive while the
        // table is being taken apart, when it is no longer a table to ask.
        if (watched == m_viewport && event->type() == QEvent::MouseButtonDblClick) {
            auto *mouse = static_cast<QMouseEvent *>(event);
            if (mouse->button() == Qt::LeftButton) {
                m_doubleClicked(m_table->rowAt(mouse->position().toPoint().y()));
                return true;
            }
        } else if (event->type() == QEvent::Resize || event->type() == QEvent::Move) {
            m_frameChanged();
        }
        return false;
    }

private:
    QTableWidget *m_table;
    QWidget *m_viewport;
    std::function<void(int)> m_doubleClicked;
    std::function<void()> m_frameChanged;
};

} // namespace

QDWelcomeViewController::QDWelcomeViewController(ShellServices *shell, QWidget *parent)
    : QWidget(parent)
    , m_shell(shell)
    , m_archivesDir(Config::archivesDir())
{
    loadView();
}

QDWelcomeViewController::~QDWelcomeViewController()
{
    // Observers run inside a post: none may reach this screen while it is taken apart (closing
    // an open upload window below posts one).
    NotificationCenter::defaultCenter().removeObserver(this);
    // Nor may the table's events once the screen's own parts are gone.
    delete m_tableEvents;
    m_uploadWindow.reset();
    m_uploadController.reset();
}

void QDWelcomeViewController::loadView()
{
    buildView();
    setWindowTitle(u"欢迎使用Quillo"_s);
    m_recentlyBuild.clear();
    m_sortedRecentlyBuild.clear();

    // The first scan: the watch has not started, so it records the newest archive silently.
    getRecentlyBuilds();

    NotificationCenter &center = NotificationCenter::defaultCenter();
    center.addObserver(this, Notifications::DisableBuildItem, [this] { disableBuilItem(); });
    center.addObserver(this, Notifications::EnableBuildItem, [this] { enableBuildItem(); });
    center.addObserver(this, Notifications::NewArchive, [this] { archiveChangedHandler(); });

    if (Preferences::intValue(u"isAutoUpdate"_s) == 1)
        checkNewVersion();

    auto *events = m_tableEvents = new TableEvents(
        m_recentlyBuildTable, [this](int row) { doubleClicked(row); }, [this] { placeNobuildLabel(); }, this);
    m_recentlyBuildTable->viewport()->installEventFilter(events);
    m_tableContainer->installEventFilter(events);

    watchArchiveFolder();
    watchBuildFolders();
    setLaunchLog();
}

void QDWelcomeViewController::buildView()
{
    setObjectName(u"QDWelcomeViewController"_s);
    m_versionCheck = new VersionCheck(this, VersionCheck::UpToDate::Silent, this);

    QHBoxLayout *header = buildHeader();
    buildTable();
    QPalette grey = palette();
    grey.setColor(QPalette::WindowText, QColor(0x70, 0x70, 0x70));
    m_nobuildTextField = new QLabel(kNoBuildText, this);
    m_nobuildTextField->setObjectName(u"nobuildTextField"_s);
    m_nobuildTextField->setPalette(grey);
    QFont nobuildFont = m_nobuildTextField->font();
    nobuildFont.setPointSizeF(nobuildFont.pointSizeF() * 1.2);
    m_nobuildTextField->setFont(nobuildFont);
    m_nobuildTextField->hide();

    m_openButton = new QPushButton(u"导出并上传"_s, this);
    m_openButton->setObjectName(u"openButton"_s);
    m_uploadButton = new QPushButton(u"上传安装包…"_s, this);
    m_uploadButton->setObjectName(u"uploadButton"_s);
    m_uploadButton->setToolTip(u"打开上传窗口，拖入 .ipa 或 .apk 文件"_s);
    connect(m_openButton, &QPushButton::clicked, this, &QDWelcomeViewController::openArchive);
    connect(m_uploadButton, &QPushButton::clicked, this, &QDWelcomeViewController::uploadButtonClicked);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_openButton);
    buttons->addWidget(m_uploadButton);

    m_watchWarning = new QLabel(this);
    m_watchWarning->setObjectName(u"watchWarningTextField"_s);
    m_watchWarning->setTextFormat(Qt::PlainText);
    m_watchWarning->setWordWrap(true);
    m_watchWarning->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(m_tableContainer, 1);
    layout->addWidget(m_watchWarning);
    layout->addLayout(buttons);
}

QHBoxLayout *QDWelcomeViewController::buildHeader()
{
    auto *logo = new QLabel(this);
    logo->setObjectName(u"logoImageView"_s);
    logo->setPixmap(QPixmap(u":/images/quillo"_s).scaled(44, 44, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    auto *title = new QLabel(u"欢迎使用Quillo"_s, this);
    title->setObjectName(u"titleTextField"_s);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto *subtitle = new QLabel(u"最近的构建 · 双击一个构建即可导出并上传"_s, this);
    subtitle->setObjectName(u"subtitleTextField"_s);
    QPalette grey = subtitle->palette();
    grey.setColor(QPalette::WindowText, QColor(0x70, 0x70, 0x70));
    subtitle->setPalette(grey);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(title);
    titles->addWidget(subtitle);
    auto *header = new QHBoxLayout;
    header->setSpacing(12);
    header->addWidget(logo);
    header->addLayout(titles, 1);
    return header;
}

void QDWelcomeViewController::buildTable()
{
    m_tableContainer = new QDView(this);
    m_tableContainer->setObjectName(u"tableContainer"_s);
    m_recentlyBuildTable = new QTableWidget(0, 1, m_tableContainer);
    m_recentlyBuildTable->setObjectName(u"recentlyBuildTable"_s);
    m_recentlyBuildTable->horizontalHeader()->hide();
    m_recentlyBuildTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_recentlyBuildTable->verticalHeader()->hide();
    m_recentlyBuildTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_recentlyBuildTable->verticalHeader()->setDefaultSectionSize(kRowHeight);
    m_recentlyBuildTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_recentlyBuildTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_recentlyBuildTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_recentlyBuildTable->setShowGrid(false);
    m_recentlyBuildTable->setFrameShape(QFrame::NoFrame);
    m_recentlyBuildTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The panel shows through the table; the cells keep their own text colours.
    QPalette clear = m_recentlyBuildTable->palette();
    clear.setColor(QPalette::Base, Qt::transparent);
    m_recentlyBuildTable->setPalette(clear);
    connect(m_recentlyBuildTable->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        for (int row = 0; row < m_recentlyBuildTable->rowCount(); ++row) {
            if (auto *cell = qobject_cast<QDApplicationCellView *>(m_recentlyBuildTable->cellWidget(row, 0)))
                cell->setHighlighted(m_recentlyBuildTable->selectionModel()->isRowSelected(row, {}));
        }
    });
    auto *containerLayout = new QVBoxLayout(m_tableContainer);
    containerLayout->setContentsMargins(6, 6, 6, 6);
    containerLayout->addWidget(m_recentlyBuildTable);
}

void QDWelcomeViewController::getRecentlyBuilds()
{
    ++m_scanCount;
    m_recentlyBuild.clear();
    ArchiveScanner::Result scan = ArchiveScanner::scan(m_archivesDir);
    m_recentlyBuild = std::move(scan.recentlyBuild);
    m_sortedRecentlyBuild = std::move(scan.sortedRecentlyBuild);
    mergeRecentBuilds();

    fillStatusMenu();
    reloadData();
    placeNobuildLabel();
    if (m_recentlyBuildTable->rowCount() > 0)
        m_recentlyBuildTable->selectRow(0);

    if (m_sortedRecentlyBuild.isEmpty())
        return;
    const QDArchiveModel candidate = m_sortedRecentlyBuild.first();
    if (m_monitorStarted && m_archiveChanged) {
        if (m_newestArchive) {
            const bool later = candidate.lastModifiedDate() > m_newestArchive->lastModifiedDate();
            m_newestArchive = candidate;
            if (later)
                notificateNewArchive();
        } else {
            m_newestArchive = candidate;
            notificateNewArchive();
        }
    } else {
        m_newestArchive = candidate;
    }
}

void QDWelcomeViewController::reloadData()
{
    const int rows = numberOfRowsInTableView();
    m_recentlyBuildTable->setRowCount(rows);
    for (int row = 0; row < rows; ++row) {
        QDApplicationCellView *cell = tableViewCell(row);
        cell->setHighlighted(m_recentlyBuildTable->selectionModel()->isRowSelected(row, {}));
        m_recentlyBuildTable->setCellWidget(row, 0, cell); // the previous cell goes
    }
}

void QDWelcomeViewController::placeNobuildLabel()
{
    if (!m_recentBuilds.isEmpty()) {
        m_nobuildTextField->hide();
        return;
    }
    m_nobuildTextField->adjustSize();
    const QPoint origin = m_tableContainer->mapTo(this, QPoint(0, 0));
    const QSize container = m_tableContainer->size();
    const QSize label = m_nobuildTextField->size();
    m_nobuildTextField->move(
        origin.x() + (container.width() - label.width()) / 2, origin.y() + (container.height() - label.height()) / 2);
    m_nobuildTextField->show();
    m_nobuildTextField->raise();
}

void QDWelcomeViewController::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeNobuildLabel();
}

void QDWelcomeViewController::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    placeNobuildLabel();
}

void QDWelcomeViewController::watchArchiveFolder()
{
    m_monitorStarted = true;
    m_watch = new ArchiveFolderWatch(m_archivesDir, std::chrono::milliseconds(1000), this);
    connect(m_watch, &ArchiveFolderWatch::changed, this,
        [] { NotificationCenter::defaultCenter().post(Notifications::NewArchive); });
    connect(m_watch, &ArchiveFolderWatch::watchFailed, this, &QDWelcomeViewController::showWatchFailure);
    m_watch->start();
}

void QDWelcomeViewController::archiveChangedHandler()
{
    m_archiveChanged = true;
    getRecentlyBuilds();
}

void QDWelcomeViewController::disableBuilItem()
{
    if (m_shell && m_shell->statusItem())
        m_shell->statusItem()->setEnabled(false);
}

void QDWelcomeViewController::enableBuildItem()
{
    if (m_shell && m_shell->statusItem())
        m_shell->statusItem()->setEnabled(true);
}

void QDWelcomeViewController::notificateNewArchive()
{
    if (!m_newestArchive)
        return;
    DesktopNotification notification;
    notification.title = ArchiveText::title(*m_newestArchive);
    notification.informativeText = m_newestArchive->identifier().value_or(QString());
    notification.actionButtonTitle = u"上传"_s;
    if (ArchiveText::hasOwnIcon(*m_newestArchive))
        notification.imagePath = *m_newestArchive->iconPath();
    ++m_notificationCount;
    if (m_shell && m_shell->notificationCenter())
        m_shell->notificationCenter()->deliverNotification(notification);
    else
        qCInfo(lcBuilds) << "New archive (no notification centre):" << notification.title;
}

void QDWelcomeViewController::userNotificationCenterDidActivateNotification(
    const DesktopNotification &notification, DesktopNotifier::Activation activation)
{
    if (activation != DesktopNotifier::Activation::ActionButtonClicked)
        return;
    // A package's notification uploads that package; any other the newest archive.
    const auto package = m_packageNotifications.constFind(notification.identifier);
    if (notification.identifier != 0 && package != m_packageNotifications.cend())
        openPackage(*package);
    else if (m_newestArchive)
        parseArchiveModel(*m_newestArchive);
}

int QDWelcomeViewController::numberOfRowsInTableView() const
{
    return int(qMin<qsizetype>(m_recentBuilds.size(), kMaxRows));
}

QDApplicationCellView *QDWelcomeViewController::tableViewCell(int row) const
{
    auto *cell = new QDApplicationCellView;
    if (row >= 0 && row < m_recentBuilds.size()) {
        const RecentBuild &build = m_recentBuilds.at(row);
        if (build.isArchive())
            cell->showArchive(build.archive());
        else
            cell->showPackage(build.package());
    }
    return cell;
}

void QDWelcomeViewController::doubleClicked(int clickedRow)
{
    if (m_recentBuilds.isEmpty() || clickedRow < 0 || clickedRow >= numberOfRowsInTableView())
        return;
    openRecentBuild(m_recentBuilds.at(clickedRow));
}

void QDWelcomeViewController::openArchive()
{
    if (m_recentBuilds.isEmpty())
        return;
    const QModelIndexList selected = m_recentlyBuildTable->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const int row = selected.first().row();
    if (row >= 0 && row < m_recentBuilds.size())
        openRecentBuild(m_recentBuilds.at(row));
}

void QDWelcomeViewController::menuItemClicked(QAction *sender)
{
    if (!sender)
        return;
    bool ok = false;
    const int tag = sender->data().toInt(&ok);
    if (ok && tag >= 0 && tag < m_recentBuilds.size())
        openRecentBuild(m_recentBuilds.at(tag));
}

// Both replace the upload window, never under an open modal alert: the code after the alert may
// still belong to the window being replaced (a notification's button or a status-menu entry can
// come in while it is open).
void QDWelcomeViewController::uploadButtonClicked()
{
    Alert::whenNoModalOpen(this, [this] { replaceUploadWindow(u"0"_s); });
}

void QDWelcomeViewController::parseArchiveModel(const QDArchiveModel &archive)
{
    // A copy: the model may belong to the list that the new window's notifications lead to rescan.
    Alert::whenNoModalOpen(this, [this, chosen = archive] {
        replaceUploadWindow(u"1"_s);
        m_uploadController->exportArchive(chosen);
    });
}

void QDWelcomeViewController::replaceUploadWindow(const QString &beginView)
{
    // The earlier window goes first: if it is still open, closing it posts the enabling
    // notification, which must come before the new controller's disabling one.
    m_uploadWindow.reset();
    m_uploadController.reset();
    m_uploadController = std::make_unique<QDUploadViewController>(beginView);
    m_uploadController->setDelegate(this);
    m_uploadWindow = std::make_unique<QDUploadWindowController>();
    m_uploadWindow->setContentViewController(m_uploadController.get());
    m_uploadWindow->showWindow();
}

void QDWelcomeViewController::closeUpdateWindow()
{
    if (m_uploadWindow)
        m_uploadWindow->close();
}

void QDWelcomeViewController::fillStatusMenu()
{
    if (!m_shell)
        return;
    if (StatusItem *item = m_shell->statusItem())
        item->setEnabled(true);
    refillBuildEntries();
}

void QDWelcomeViewController::refillBuildEntries()
{
    QMenu *menu = m_shell ? m_shell->statusMenu() : nullptr;
    if (!menu)
        return;

    const int n = int(qMin<qsizetype>(m_recentBuilds.size(), kMaxMenuEntries));
    QList<QAction *> buildSlots;
    for (QAction *action : menu->actions()) {
        if (!QDMenuViewController::isBuildSlot(action))
            break;
        buildSlots.append(action);
    }
    auto dropSlot = [menu](QAction *slot) {
        menu->removeAction(slot);
        slot->deleteLater();
    };
    if (!m_shell->redundantItemRemoved() && n < kMaxMenuEntries) {
        while (buildSlots.size() > n)
            dropSlot(buildSlots.takeLast());
        m_shell->setRedundantItemRemoved(true);
    }
    // Entries that would show the same builds stay as they are: an open menu keeps the entry under
    // the pointer when a rescan finds nothing new.
    const QStringList keys = buildKeys(m_recentBuilds, n);
    if (buildSlots.size() == n && keys == m_menuEntryKeys)
        return;
    m_menuEntryKeys = keys;
    // Build entries come and go directly above the fixed commands.
    while (buildSlots.size() > n)
        dropSlot(buildSlots.takeLast());
    QAction *firstCommand = nullptr;
    const QList<QAction *> actions = menu->actions();
    if (actions.size() > buildSlots.size())
        firstCommand = actions.at(buildSlots.size());

    for (int i = 0; i < n; ++i) {
        QWidgetAction *entry = makeBuildEntry(menu, i);
        if (i < buildSlots.size()) {
            menu->insertAction(buildSlots.at(i), entry);
            dropSlot(buildSlots.at(i));
        } else {
            menu->insertAction(firstCommand, entry);
        }
    }
    m_buildItemcount = n;
}

// The status-menu entry of the i-th recent build; its tag leads back to the build when clicked.
QWidgetAction *QDWelcomeViewController::makeBuildEntry(QMenu *menu, int i)
{
    const RecentBuild &build = m_recentBuilds.at(i);
    QDMenuViewController controller
        = build.isArchive() ? QDMenuViewController(build.archive()) : QDMenuViewController(build.package());
    auto *entry = new QWidgetAction(menu);
    std::unique_ptr<QDMenuView> view = controller.takeView();
    view->setMenuItem(entry);
    entry->setDefaultWidget(view.release());
    QDMenuViewController::markBuildSlot(entry);
    entry->setData(i);
    entry->setProperty("tag", i);
    entry->setEnabled(true);
    connect(entry, &QAction::triggered, this, [this, entry] { menuItemClicked(entry); });
    return entry;
}

// What the first n builds show, one text each: equal lists show the same rows and entries.
QStringList QDWelcomeViewController::buildKeys(const QList<RecentBuild> &builds, qsizetype n)
{
    QStringList keys;
    for (qsizetype i = 0; i < qMin(n, builds.size()); ++i) {
        const RecentBuild &build = builds.at(i);
        keys.append(QStringList { build.path(), build.date().toString(Qt::ISODateWithMs), build.appName(),
            build.version(), build.build(), build.identifier() }
                        .join(u'\n'));
    }
    return keys;
}

void QDWelcomeViewController::setLaunchLog()
{
    m_launchCloudClient = CloudClient::getInstance();
    m_launchCloudClient->setLaunchLogWithDelegate(this, u"setLaunchLogSuccess:"_s, u"setLanuchLogError:"_s);
}

void QDWelcomeViewController::setLaunchLogSuccess(const QVariant &)
{
    qCInfo(lcBuilds) << "Set launch log success.";
}

void QDWelcomeViewController::setLanuchLogError(const QVariant &errorRecord)
{
    qCInfo(lcBuilds).noquote() << u"Set launch log error: %1"_s.arg(errorRecord.toMap().value(u"message"_s).toString());
}

void QDWelcomeViewController::checkNewVersion()
{
    m_versionCheck->check();
}

QString QDWelcomeViewController::newVersionURL() const
{
    return m_versionCheck->newVersionURL();
}

// ---- build folders ----

void QDWelcomeViewController::watchBuildFolders()
{
    m_buildFolders = new BuildFolderCatalog(this);
    connect(m_buildFolders, &BuildFolderCatalog::packagesChanged, this,
        &QDWelcomeViewController::buildFolderPackagesChanged);
    connect(m_buildFolders, &BuildFolderCatalog::packageArrived, this, &QDWelcomeViewController::notificateNewPackage);
    connect(m_buildFolders, &BuildFolderCatalog::watchFailed, this, &QDWelcomeViewController::showWatchFailure);
    m_buildFolders->followPreference();
}

void QDWelcomeViewController::mergeRecentBuilds()
{
    m_recentBuilds = RecentBuild::merge(
        m_sortedRecentlyBuild, m_buildFolders ? m_buildFolders->packages() : QList<BuildPackage>());
}

void QDWelcomeViewController::buildFolderPackagesChanged()
{
    // As a scan's refresh, but the status item is left as it is (an open upload window keeps it
    // disabled), and a scan that changed nothing shown leaves the rows, the entries and the user's
    // selection alone.
    const QStringList before = buildKeys(m_recentBuilds, m_recentBuilds.size());
    mergeRecentBuilds();
    if (m_recentlyBuildTable->rowCount() == numberOfRowsInTableView()
        && buildKeys(m_recentBuilds, m_recentBuilds.size()) == before)
        return;
    refillBuildEntries();
    reloadData();
    placeNobuildLabel();
    if (m_recentlyBuildTable->rowCount() > 0)
        m_recentlyBuildTable->selectRow(0);
}

void QDWelcomeViewController::notificateNewPackage(const BuildPackage &package)
{
    DesktopNotification notification;
    notification.title = PackageText::title(package);
    notification.informativeText = package.packageName;
    notification.actionButtonTitle = u"上传"_s;
    ++m_notificationCount;
    if (!m_shell || !m_shell->notificationCenter()) {
        qCInfo(lcBuilds) << "New package (no notification centre):" << notification.title;
        return;
    }
    const quint64 identifier = m_shell->notificationCenter()->deliverNotification(notification);
    // The button of an older notification still names its own package; a few are enough.
    if (m_packageNotifications.size() >= 32)
        m_packageNotifications.clear();
    m_packageNotifications.insert(identifier, package.path);
}

void QDWelcomeViewController::openRecentBuild(const RecentBuild &build)
{
    if (build.isArchive())
        parseArchiveModel(build.archive());
    else
        openPackage(build.package().path);
}

void QDWelcomeViewController::openPackage(const QString &path)
{
    // A copy: the path may belong to the list that the new window's notifications lead to refresh.
    Alert::whenNoModalOpen(this, [this, chosen = path] {
        if (!QFileInfo(chosen).isFile()) {
            qCWarning(lcBuilds).noquote() << "Package gone before its upload window opened:" << chosen;
            return;
        }
        replaceUploadWindow(u"0"_s);
        if (chosen.endsWith(u".ipa"_s, Qt::CaseInsensitive))
            m_uploadController->ParseIPA(chosen);
        else
            m_uploadController->ParseAPK(chosen);
    });
}

void QDWelcomeViewController::showWatchFailure(const QString &directory, const QString &reason)
{
    if (m_watchWarning->isVisibleTo(this))
        return; // once
    m_watchWarning->setText(u"无法监视“%1”的变化（%2），新的构建可能不会自动出现。"_s.arg(directory, reason));
    m_watchWarning->show();
}
