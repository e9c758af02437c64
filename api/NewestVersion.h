#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class CloudClient;

// The toolkit-free half of the check for a newer release of the program: the call and the
// reading of its reply. The desktop's alerts (ui/VersionCheck) and `quillo check-update` both
// stand on it, so the two can never disagree on what a reply means.
namespace NewestVersion {

inline const QString kFallbackErrorText = QStringLiteral("检查新版本失败，请稍后重试");

// What a successful reply says:
//   - Newer: data is a non-empty map whose "d_down_url" is a usable string (kept in url);
//   - NoAddress: a non-empty map without such an address (shown nowhere);
//   - UpToDate: anything else (absent, empty, not a map).
struct Reply
{
    enum class Kind { Newer, NoAddress, UpToDate };
    Kind kind = Kind::UpToDate;
    QString url;
};

Reply read(const QVariant &data);

// The text to show for a failed check: the error record's "message", or a fixed text when the
// record has none.
QString errorText(const QVariant &errorRecord);

// Sends the program's short version to "desktop/checkNewestVersion"; the outcome reaches target
// by the client's callback convention. The caller keeps the returned client until the reply has
// arrived (releasing it cancels the call).
std::unique_ptr<CloudClient> ask(QObject *target, const QString &selector, const QString &errorSelector);

} // namespace NewestVersion
