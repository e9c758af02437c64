#pragma once

#include "upload/QDAppInfoViewController.h"
#include "upload/UploadFlow.h"

#include <QPointer>
#include <QWidget>

class QDArchiveModel;
class QDDragDropViewController;
class QDLodingViewController;
class QDScreenStack;
class QLabel;
class QProgressBar;
class QPushButton;

// What the upload controller asks of the screen that opened its window (the recent-builds
// screen): close the upload window. Called only when a delegate is set, after an upload when
// "autoCloseUploadWindow" is on, after the success question, and after a failed export.
class QDUploadViewControllerDelegate
{
public:
    virtual ~QDUploadViewControllerDelegate() = default;
    virtual void closeUpdateWindow() = 0;
};

// The upload window's content: a screen stack in containerView (the drop target, or the loading
// view while an archive is exported, at the bottom; the form pushed on top), the back and upload
// buttons and the progress bar with the transfer rate. It shows an UploadFlow and drives it.
//
// For the screen that opens upload windows (one controller per window):
//
//     m_uploadController = std::make_unique<QDUploadViewController>(u"0"_s);   // "1" for an export
//     m_uploadController->setDelegate(this);                 // QDUploadViewControllerDelegate
//     m_uploadWindow = std::make_unique<QDUploadWindowController>();
//     m_uploadWindow->setContentViewController(m_uploadController.get());
//     m_uploadWindow->showWindow();
//     m_uploadController->exportArchive(archiveModel);       // export mode only
//     ...
//     void closeUpdateWindow() override { m_uploadWindow->close(); }
//
// Building the controller posts "QD_DISABLE_BUILD_ITEM_NOTIFICATION"; closing its window posts
// "QD_ENABLE_BUILD_ITEM_NOTIFICATION" and discards the flow: a closed window's upload, service
// call or export is cancelled, and nothing of it reaches the controller afterwards.
class QDUploadViewController final : public QWidget
{
    Q_OBJECT
public:
    explicit QDUploadViewController(const QString &beginView = QStringLiteral("0"), QWidget *parent = nullptr);
    ~QDUploadViewController() override;

    UploadFlow *flow() const { return m_flow; }
    QVariantMap &appInfo() { return m_flow->appInfo(); }
    QString filePath() const { return m_flow->filePath(); }
    int appType() const { return m_flow->appType(); }
    QString beginView() const { return m_flow->beginView(); }
    quint64 filesize() const { return m_flow->filesize(); }
    // The bar's value as the flow computed it (sent ÷ filesize × 0.98, then 1).
    double progressValue() const { return m_progressValue; }

    QDUploadViewControllerDelegate *delegate() const { return m_delegate; }
    void setDelegate(QDUploadViewControllerDelegate *delegate) { m_delegate = delegate; }

    QDDragDropViewController *dragDropViewController() const { return m_dragDropViewController; }
    QDLodingViewController *loadingViewController() const { return m_loadingViewController; }
    // The form on top of the stack, or null.
    QDAppInfoViewController *appInfoViewController() const { return m_appInfoViewController; }
    QDScreenStack *screenStack() const { return m_screenStack; }
    QWidget *containerView() const { return m_containerView; }
    QPushButton *backButton() const { return m_backButton; }
    QPushButton *uploadButton() const { return m_uploadButton; }
    QProgressBar *uploadProgressBar() const { return m_uploadProgressBar; }
    QLabel *uploadRateLabel() const { return m_uploadRateLabel; }
    // Tells the user why a package could not be read (aapt missing or not starting).
    QLabel *messageLabel() const { return m_messageLabel; }

    // Called by the drop target.
    Q_INVOKABLE void ParseIPA(const QString &path);
    Q_INVOKABLE void ParseAPK(const QString &path);
    // Export mode: has the build tool export the archive, then reads the package, or shows
    // "解析失败" and the alert and closes the window.
    void exportArchive(const QDArchiveModel &archive);
    void exportArchive(const QString &archivePath, const QString &provisionFileName);

    void showApplicationInfo();
    void backButtonClicked();
    void uploadButtonClicked();

    // The upload window is about to close.
    void windowWillClose();

private:
    void buildView();
    void stateChanged(UploadFlow::State state);
    void progressChanged(double value);
    void uploadFinished(const UploadFlow::Result &result);
    void inspectionEnded(InspectionFailure failure);
    void exportFailed();
    void closeUpdateWindow();

    UploadFlow *m_flow;
    QDUploadViewControllerDelegate *m_delegate = nullptr;
    QDDragDropViewController *m_dragDropViewController = nullptr;
    QDLodingViewController *m_loadingViewController = nullptr;
    QPointer<QDAppInfoViewController> m_appInfoViewController;
    QDScreenStack *m_screenStack = nullptr;
    QWidget *m_containerView = nullptr;
    QPushButton *m_backButton = nullptr;
    QPushButton *m_uploadButton = nullptr;
    QProgressBar *m_uploadProgressBar = nullptr;
    QLabel *m_uploadRateLabel = nullptr;
    QLabel *m_messageLabel = nullptr;
    double m_progressValue = 0.0;
};
