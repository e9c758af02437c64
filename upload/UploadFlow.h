#pragma once

#include "api/RetryPolicy.h"
#include "inspect/InspectionDelegate.h"
#include "upload/AppInfoKeys.h"
#include "upload/TransferRateEstimator.h"

#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>

class CloudClient;
class ExportRunner;
class PackageInspector;
class QDArchiveModel;
class UploadRequest;

// The upload flow without a screen: one package from inspection to the service's download page.
// The desktop program's QDUploadViewController drives and shows it; the command line drives it
// the same way with fixed settings instead of a form.
//
// It owns the application-information record (keys in AppInfoKeys.h), runs the inspection
// (it is the inspection's delegate), asks the service to prepare the upload, checks a changed
// download-page suffix, sends the multipart upload and reports the result. Every step runs on
// the main thread; the service's replies and the transport's progress arrive there.
//
// One whole upload from a program without a screen:
//
//     UploadFlow flow;                                        // beginView "0"
//     flow.setSettingsSource([&flow] {                        // asked at the button press and again at the upload
//         QVariantMap s = UploadFlow::defaultSettings(flow.record());   // what the form would show
//         s[SettingKey::description] = notes;                 // the user's own choices over it
//         return s;
//     });
//     QObject::connect(&flow, &UploadFlow::inspectionEnded, ...);     // .apk unreadable / aapt missing: stop
//     QObject::connect(&flow, &UploadFlow::showApplicationInfo, &flow, [&flow] {
//         flow.uploadButtonClicked();                         // record complete: check the suffix, then send
//     });
//     QObject::connect(&flow, &UploadFlow::shortcutTaken, ...);       // "网址后缀已存在，请更换": stop or retry
//     QObject::connect(&flow, &UploadFlow::progressChanged, ...);     // bar value (sent ÷ filesize × 0.98, then 1)
//     QObject::connect(&flow, &UploadFlow::transferStatus, ...);      // rate and time left, at most 4 a second
//     QObject::connect(&flow, &UploadFlow::uploadFinished, &flow, [&](const UploadFlow::Result &r) {
//         // r.success(): r.downloadUrl; otherwise r.message (the text the window would show),
//         // r.kind tells a transport failure from a refusal by the service.
//         loop.quit();
//     });
//     if (!flow.ParsePackage(path)) ...                       // ".ipa" or ".apk" (exact suffixes)
//     loop.exec();
//
// The session (QSLoginModel) supplies the user key for the prepare call and the upload; the
// service host comes from Config. The flow calls nothing after discard() or its destruction:
// no signal, no callback, and its service calls and upload are cancelled.
class UploadFlow final : public QObject, public InspectionDelegate
{
    Q_OBJECT
public:
    // The states of one upload window.
    enum class State {
        WaitingForDrop, // beginView "0": the drop target is shown
        Exporting, // beginView "1": the loading view while the build tool exports
        ExportFailed, // the export wrote no package: "解析失败", the alert, then the window closes
        Inspecting, // reading the package (an .apk waits for aapt)
        Preparing, // the prepare call is out
        Form, // the form is shown; upload (and back in mode "0") enabled
        Checking, // the suffix check is out; both buttons disabled
        Sending, // the upload runs; progress shown, both buttons disabled
        Result, // the upload ended; buttons enabled, progress hidden, result being shown
        Discarded, // the window went away; nothing more happens
    };
    Q_ENUM(State)

    struct Result
    {
        enum class Kind {
            Success,
            TransportError, // no reply, an HTTP error status, or a reply that is not the service's envelope
            Refused, // the service answered with a code other than 0
        };
        Kind kind = Kind::TransportError;
        // The text to show for a failure: "发布失败：%@" or the service's message as it came.
        QString message;
        QString appShortcutUrl; // data.appShortcutUrl of a success (may be empty)
        QString downloadUrl; // "http://%@/%@" with the service host and the suffix, on success
        int httpStatus = 0; // 0 when no reply arrived
        QVariant reply; // the parsed reply, when there was one
        QString transportError; // the transport's own text, for the log only
        QVariant serviceCode; // the reply's "code" as it came
        TransferFailure failure = TransferFailure::None; // why no reply arrived (httpStatus 0)
        // "autoCloseUploadWindow" was on: the window closes and nothing is shown.
        bool autoClose = false;
        bool success() const { return kind == Kind::Success; }
    };

    using SettingsSource = std::function<QVariantMap()>;

    // The three service calls, as a retry names them.
    enum class Step { Prepare, ShortcutCheck, Upload };
    struct RetryNotice
    {
        Step step = Step::Upload;
        int retry = 0; // 1 for the first retry
        int retries = 0; // of the policy
        QString reason; // RetryPolicy::retryReason
        std::chrono::milliseconds wait { 0 };
    };

    // beginView "1": the window was opened for an export and starts on the loading view
    // (Exporting); anything else starts on the drop target (WaitingForDrop).
    explicit UploadFlow(const QString &beginView = QStringLiteral("0"), QObject *parent = nullptr);
    ~UploadFlow() override;

    QString beginView() const { return m_beginView; }
    State state() const { return m_state; }
    static QString stateName(State state);

    // InspectionDelegate: called by the inspection.
    QVariantMap &appInfo() override { return m_appInfo; }
    void setFilePath(const QString &path) override { m_filePath = path; }
    void setAppType(int appType) override { m_appType = appType; }
    // Stores a new API client (cancelling the previous call) and asks the service to prepare.
    void prepareUpload(const QString &platform) override;
    void inspectionFailed(InspectionFailure failure, const QString &detail) override;

    const QVariantMap &record() const { return m_appInfo; }
    QString filePath() const { return m_filePath; }
    int appType() const { return m_appType; }
    // Size of the package in bytes, measured when the upload starts.
    quint64 filesize() const { return m_filesize; }
    PackageInspector *inspector() const { return m_inspector.get(); }
    bool isDiscarded() const { return m_state == State::Discarded; }

    // Inspection. Ignored (false) while a suffix check or an upload runs, in the result, after a
    // failed export and after discard().
    bool ParseIPA(const QString &path);
    bool ParseAPK(const QString &path);
    // ParseIPA for a name ending in ".ipa", ParseAPK for ".apk" (case-sensitive); false otherwise.
    bool ParsePackage(const QString &path);

    // The export of an archive (beginView "1"): Exporting until the build tool ends; then the
    // exported package is inspected, or ExportFailed with exportFailed().
    void exportArchive(const QDArchiveModel &archive);
    void exportArchive(const QString &archivePath, const QString &provisionFileName);

    // Where the settings come from (the form's getApplicationSetting). Without a source the
    // settings are defaultSettings(record()).
    void setSettingsSource(SettingsSource source) { m_settingsSource = std::move(source); }
    // Another try of the prepare call, the suffix check or the upload after a failure on the way
    // (RetryPolicy). None by default: the window lets the user press the button again. Each call
    // has its own count; the whole package is sent again on each try.
    void setRetryPolicy(const RetryPolicy &policy) { m_retryPolicy = policy; }
    QVariantMap currentSettings() const;

    // The upload button (state Form only): checks the suffix when urlCanbeModified is 1,
    // otherwise sends at once.
    void uploadButtonClicked();
    // The back button (state Form, mode "0"): back to WaitingForDrop.
    void backButtonClicked();
    void validShortcutUrl(const QVariant &suffix);
    void upload();
    // The failure alert was dismissed: Result → Form, the upload button may be pressed again.
    void resultAcknowledged();
    // Removes what the inspection unpacked (never a name ending in ".ipa").
    void deletePayloadDirectory();
    // The window went away: cancels the service call, the upload, the export and a pending aapt;
    // nothing is reported after this.
    void discard();

    // Callbacks of the API client (by name, see CloudClient).
    Q_INVOKABLE void prepareUploadSuccess(const QVariant &data);
    Q_INVOKABLE void prepareUploadError(const QVariant &errorRecord);
    Q_INVOKABLE void getAppKeySuccess(const QVariant &data);
    Q_INVOKABLE void getAppKeyError(const QVariant &errorRecord);

    // ---- The rules, as pure functions ----

    // Completes the record from the prepare reply's data: shortcutUrl, and from a non-empty
    // parentApp its three values with urlCanbeModified "0"; otherwise urlCanbeModified "1".
    // Values are stored as they came; a value the reply does not carry is not written.
    static void applyPrepareReply(QVariantMap &record, const QVariant &data);
    // The eight text fields of the upload ("_api_key", "uKey" and six from the settings), in
    // the order they are sent (a QVariantMap keeps them in ascending order of their names).
    static QVariantMap uploadFields(const QVariantMap &settings, const QVariant &uid);
    // "application/iphone-package-archive" for a name ending in "ipa" (dot or not), otherwise
    // "application/vnd.android.package-archive".
    static QString contentTypeForFileName(const QString &fileName);
    // The part of the path after its last "/".
    static QString fileNameOf(const QString &path);
    // "<api base>/app/upload".
    static QUrl uploadUrl();
    // The bar's value: sent ÷ filesize × 0.98 (0 for an empty package). May exceed 1 near the end.
    static double progressValue(qint64 sent, quint64 filesize);
    // Completion rules 1 and 2 (autoClose is left false).
    static Result interpretCompletion(int status, const QVariant &json, const QString &error);
    // True when the setting "autoCloseUploadWindow" has the integer value 1.
    static bool autoCloseUploadWindow();
    // "http://%@/%@" with the service host and the suffix.
    static QString downloadPageUrl(const QString &shortcut);

    // The items of the form's two pop-ups. Item i of the publish-to-square pop-up sends i + 1,
    // item i of the publish-range pop-up sends i + 2.
    static QStringList publishToSquareTitles();
    static QStringList publishRangeTitles();
    // The item the form selects for the record's value: (integer value − 1), resp. (− 2), when
    // the value is a usable string naming an existing item; item 0 otherwise.
    static int publishToSquareIndex(const QVariantMap &record);
    static int publishRangeIndex(const QVariantMap &record);
    // The settings the form returns when the user changes nothing.
    static QVariantMap defaultSettings(const QVariantMap &record);

Q_SIGNALS:
    void stateChanged(UploadFlow::State state);
    // The record is complete: show the form (the record is non-empty).
    void showApplicationInfo();
    // An .apk inspection ended without a record (aapt missing, failed, or silent); the flow is
    // back on the drop target.
    void inspectionEnded(InspectionFailure failure, const QString &detail);
    // The build tool ended; exported tells whether it wrote the package.
    void exportEnded(bool exported);
    // The export wrote nothing: show "解析失败" and the alert, then close the window.
    void exportFailed();
    // The suffix belongs to another application. Emitted before the state returns to Form.
    void shortcutTaken(const QString &message);
    // The upload request is built and about to start.
    void uploadStarted(quint64 filesize);
    void progressChanged(double value);
    // Rate and time left; secondsRemaining is -1 while unknown. At most every 250 ms.
    void transferStatus(double bytesPerSecond, qint64 secondsRemaining, const QString &text);
    // Emitted after the state became Result.
    void uploadFinished(const UploadFlow::Result &result);
    // A call failed on the way and runs again after notice.wait; the state stays as it was.
    void retryScheduled(const UploadFlow::RetryNotice &notice);

private:
    void setState(State state);
    void startPrepare(const QString &platform);
    void startShortcutCheck(const QVariant &suffix);
    void startUpload();
    // True when the failed call runs again later (the notice is out); false when it is final.
    bool retryLater(Step step, TransferFailure transport, int httpStatus, bool envelope, std::function<void()> again);
    bool retryCall(Step step, std::function<void()> again);
    bool acceptsPackage() const;
    void showApplicationInfoStep();
    void uploadProgress(qint64 sent, qint64 total);
    void uploadCompleted(int status, const QVariant &json, const QString &error);
    void exportCompleted(bool exported, const QString &packagePath);
    State bottomState() const;

    QString m_beginView;
    State m_state;
    QVariantMap m_appInfo;
    QString m_filePath;
    int m_appType = 0;
    quint64 m_filesize = 0;
    SettingsSource m_settingsSource;
    std::unique_ptr<PackageInspector> m_inspector;
    std::unique_ptr<CloudClient> m_cloudClient;
    std::unique_ptr<UploadRequest> m_upload;
    std::unique_ptr<ExportRunner> m_export;
    TransferRateEstimator m_rate;
    QElapsedTimer m_clock;
    qint64 m_lastStatusMs = -1;
    RetryPolicy m_retryPolicy;
    int m_retriesUsed = 0;
    QTimer m_retryTimer;
    std::function<void()> m_retryAction;
};

Q_DECLARE_METATYPE(UploadFlow::Result)
Q_DECLARE_METATYPE(UploadFlow::RetryNotice)
