#pragma once

#include "builds/RecentBuild.h"
#include "inspect/QDArchiveModel.h"
#include "ui/DesktopNotifier.h"
#include "upload/QDUploadViewController.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QVariant>
#include <QWidget>

#include <memory>
#include <optional>

class ArchiveFolderWatch;
class BuildFolderCatalog;
class CloudClient;
class QAction;
class QHBoxLayout;
class QDApplicationCellView;
class QDUploadWindowController;
class QLabel;
class QMenu;
class QPushButton;
class QTableWidget;
class QWidgetAction;
class ShellServices;
class VersionCheck;

// The recent-builds screen: the archives below the archive folder (Config::archivesDir()),
// newest first, at most ten rows; the status menu's build entries; the folder watch with a
// desktop notification for a newer archive; the upload windows opened from here.
//
// Building it runs its whole start-up: the first scan (which fills the status menu and enables
// the status item, but never notifies), the three notification observers, the automatic version
// check when "isAutoUpdate" reads 1, the folder watch and the launch report. The shell must
// have its status item before it builds the screen, and makes the screen the delegate of the
// desktop-notification centre (userNotificationCenterDidActivateNotification).
//
// Beside the archives, the list holds the packages of the build folders (BuildFolderCatalog,
// scanned off this thread): rows, menu entries and their actions index into recentBuilds(), the
// archives and packages newest first, while sortedRecentlyBuild() and newestArchive() keep to the
// archives. A package row uploads the package as it is (the upload window reads it as a drop
// would; no export), and a new package is announced like a new archive.
//
// A null shell leaves the status menu, the status item and desktop notifications out (for
// tests and the benchmark).
class QDWelcomeViewController final : public QWidget, public QDUploadViewControllerDelegate
{
    Q_OBJECT
public:
    static constexpr int kMaxRows = 10;
    static constexpr int kMaxMenuEntries = 5;
    static inline const QString kNoBuildText = QStringLiteral("没有找到最近的构建");

    explicit QDWelcomeViewController(ShellServices *shell, QWidget *parent = nullptr);
    ~QDWelcomeViewController() override;

    // Scan, sort, status menu, table, no-build label, newest-archive check.
    void getRecentlyBuilds();
    void watchArchiveFolder();
    void archiveChangedHandler();
    void disableBuilItem();
    void enableBuildItem();
    void notificateNewArchive();
    void userNotificationCenterDidActivateNotification(
        const DesktopNotification &notification, DesktopNotifier::Activation activation);

    int numberOfRowsInTableView() const;
    // The cell for row r (archive r of sortedRecentlyBuild), owned by the caller.
    QDApplicationCellView *tableViewCell(int row) const;
    // A double-click on the table; clickedRow is -1 outside the rows.
    void doubleClicked(int clickedRow);
    void openArchive();
    void menuItemClicked(QAction *sender);
    void uploadButtonClicked();
    void closeUpdateWindow() override;
    void fillStatusMenu();
    void setLaunchLog();
    void checkNewVersion();
    // Opens an upload window in export mode and starts the export of the archive. This and
    // uploadButtonClicked() wait while a modal alert is open (Alert::whenNoModalOpen).
    void parseArchiveModel(const QDArchiveModel &archive);
    // Opens an upload window on a package and reads it, as a drop of it would.
    void openPackage(const QString &path);
    // The build folders' packages changed: the list and the menu's entries follow.
    void buildFolderPackagesChanged();
    // Announces a package that appeared in a build folder.
    void notificateNewPackage(const BuildPackage &package);

    Q_INVOKABLE void setLaunchLogSuccess(const QVariant &data);
    Q_INVOKABLE void setLanuchLogError(const QVariant &errorRecord);

    QString archivesDir() const { return m_archivesDir; }
    const QList<QDArchiveModel> &recentlyBuild() const { return m_recentlyBuild; }
    const QList<QDArchiveModel> &sortedRecentlyBuild() const { return m_sortedRecentlyBuild; }
    const std::optional<QDArchiveModel> &newestArchive() const { return m_newestArchive; }
    // Archives and build-folder packages, newest first: what the rows and the menu show.
    const QList<RecentBuild> &recentBuilds() const { return m_recentBuilds; }
    bool monitorStarted() const { return m_monitorStarted; }
    bool archiveChanged() const { return m_archiveChanged; }
    int buildItemcount() const { return m_buildItemcount; }
    // Scans run so far, and desktop notifications delivered.
    int scanCount() const { return m_scanCount; }
    int notificationCount() const { return m_notificationCount; }
    QString newVersionURL() const;

    QDUploadWindowController *uploadWindow() const { return m_uploadWindow.get(); }
    QDUploadViewController *uploadController() const { return m_uploadController.get(); }
    QTableWidget *recentlyBuildTable() const { return m_recentlyBuildTable; }
    QLabel *nobuildTextField() const { return m_nobuildTextField; }
    QWidget *tableContainer() const { return m_tableContainer; }
    QPushButton *uploadButton() const { return m_uploadButton; }
    QPushButton *openButton() const { return m_openButton; }
    ArchiveFolderWatch *archiveFolderWatch() const { return m_watch; }
    BuildFolderCatalog *buildFolderCatalog() const { return m_buildFolders; }
    // Tells the user that a folder could not be watched; hidden until then.
    QLabel *watchWarningLabel() const { return m_watchWarning; }
    VersionCheck *versionCheck() const { return m_versionCheck; }
    CloudClient *launchCloudClient() const { return m_launchCloudClient.get(); }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void loadView();
    void buildView();
    QHBoxLayout *buildHeader();
    void buildTable();
    void reloadData();
    void placeNobuildLabel();
    void replaceUploadWindow(const QString &beginView);
    void watchBuildFolders();
    void mergeRecentBuilds();
    void refillBuildEntries();
    QWidgetAction *makeBuildEntry(QMenu *menu, int i);
    static QStringList buildKeys(const QList<RecentBuild> &builds, qsizetype n);
    void openRecentBuild(const RecentBuild &build);
    void showWatchFailure(const QString &directory, const QString &reason);

    ShellServices *m_shell;
    QString m_archivesDir;

    std::unique_ptr<QDUploadWindowController> m_uploadWindow;
    int m_buildItemcount = 0;
    QStringList m_menuEntryKeys; // what the build entries in the status menu show
    bool m_monitorStarted = false;
    bool m_archiveChanged = false;
    std::unique_ptr<QDUploadViewController> m_uploadController;
    QTableWidget *m_recentlyBuildTable = nullptr;
    QLabel *m_nobuildTextField = nullptr;
    QWidget *m_tableContainer = nullptr;
    QObject *m_tableEvents = nullptr; // filters the table's and its frame's events
    QPushButton *m_uploadButton = nullptr;
    QPushButton *m_openButton = nullptr;
    VersionCheck *m_versionCheck = nullptr;
    std::unique_ptr<CloudClient> m_launchCloudClient;
    QList<QDArchiveModel> m_recentlyBuild;
    QList<QDArchiveModel> m_sortedRecentlyBuild;
    std::optional<QDArchiveModel> m_newestArchive;
    ArchiveFolderWatch *m_watch = nullptr;
    BuildFolderCatalog *m_buildFolders = nullptr;
    QList<RecentBuild> m_recentBuilds;
    QHash<quint64, QString> m_packageNotifications; // notification identifier → package path
    QLabel *m_watchWarning = nullptr;
    int m_scanCount = 0;
    int m_notificationCount = 0;
};
