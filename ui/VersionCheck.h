#pragma once

#include "api/NewestVersion.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <memory>

class CloudClient;
class QWidget;

// The desktop's check for a newer release of the program (the reply rule itself is
// NewestVersion's, shared with the command line), used by its three entry points: the shell's
// check-for-updates command, the automatic check when the recent-builds screen loads, and the
// Advanced preferences pane. Each entry point keeps its own instance, and so its own API client
// and its own newVersionURL.
//
//   shell command:   VersionCheck(mainWindow, VersionCheck::UpToDate::Announce)
//   recent builds:   VersionCheck(screen,     VersionCheck::UpToDate::Silent)
//   Advanced pane:   VersionCheck(pane,       VersionCheck::UpToDate::Announce)
//   ...then check() on every command.
//
// check() sends the program's short version (Config::applicationVersion) to the service and
// replaces (so cancels) a check still under way. The reply rule:
//   - data is a non-empty map whose "d_down_url" is a usable string: the address is kept as
//     newVersionURL() and the sheet "发现新版本，是否前往更新？" ("确定", "取消") is shown on the
//     window of the widget given; "确定" opens the address kept at that moment, exactly as
//     received, in the browser; "取消" does nothing;
//   - a non-empty map without such an address: nothing;
//   - anything else: the sheet "当前已是最新版本！" when announcing, nothing when silent;
//   - an error: an application-modal alert with the error record's "message" (a fixed text
//     when the record has none), returning when the user has closed it.
// finished() is emitted after a reply has been handled (after the modal alert of an error has
// closed; before a sheet has been answered).
class VersionCheck final : public QObject
{
    Q_OBJECT
public:
    enum class UpToDate { Announce, Silent };

    static inline const QString kNewVersionText = QStringLiteral("发现新版本，是否前往更新？");
    static inline const QString kUpToDateText = QStringLiteral("当前已是最新版本！");
    static inline const QString kFallbackErrorText = NewestVersion::kFallbackErrorText;

    // sheetOwner: the sheets go on its window (a null or destroyed owner shows them
    // application-modal). The owner may also be this object's parent.
    explicit VersionCheck(QWidget *sheetOwner, UpToDate upToDate, QObject *parent = nullptr);
    ~VersionCheck() override;

    void setSheetOwner(QWidget *sheetOwner);

    void check();

    // The address of the last reply that announced a newer release; empty before one.
    QString newVersionURL() const { return m_newVersionURL; }
    // The client of the check under way or last made; null before the first check.
    CloudClient *cloudClient() const { return m_cloudClient.get(); }

    // Reply callbacks (invoked by the API client by name).
    Q_INVOKABLE void checkUpdateSuccess(const QVariant &data);
    Q_INVOKABLE void checkUpdateError(const QVariant &errorRecord);
    // End of the new-version sheet: the first button opens newVersionURL().
    void alertDidEnd(int returnCode);

signals:
    void finished();

private:
    QWidget *sheetWindow() const;

    QPointer<QWidget> m_sheetOwner;
    UpToDate m_upToDate;
    std::unique_ptr<CloudClient> m_cloudClient;
    QString m_newVersionURL;
};
