#pragma once

#include "server/ApiReply.h"
#include "server/AttemptLimiter.h"
#include "server/FormFields.h"
#include "server/Store.h"

#include <QString>

struct PackageInfo;

// Where a request came from, as far as the answers need it.
struct RequestInfo
{
    QString remoteAddress;
};

// A package that has arrived whole in the service's temporary folder.
struct ReceivedPackage
{
    QString tempPath;
    QString fileName;
    qint64 size = 0;
    QString sha256;
};

// The service's operations, independent of HTTP: one call in (module/action and its fields),
// one envelope out. Thread-safe (the store is).
class ApiService final
{
public:
    struct Settings
    {
        QString dataDir;
        QString newestVersion;
        QString newestUrl;
        qint64 maxUploadBytes = 0;
    };

    ApiService(Store &store, Settings settings);
    // "http://host:port" as clients reach the service, for the links of mails; set before serving.
    void setPublicUrl(const QString &url) { m_publicUrl = url; }

    // Every API call but the package upload.
    ApiReply handle(const QString &moduleAction, const FormFields &fields, const RequestInfo &info);

    // The upload's text fields, checked when its file part begins: key, user and suffix.
    ApiReply checkUploadFields(const FormFields &fields);
    // Publishes a package that arrived whole. The temporary file is moved into the data folder
    // or removed, whatever the outcome.
    ApiReply publishUpload(const FormFields &fields, const ReceivedPackage &package);

    // Compares dotted versions number by number ("1.10" > "1.9"); missing parts count as 0.
    static int compareVersions(const QString &a, const QString &b);
    // A suffix of letters, digits, "-" and "_" (1 to 64), not one of the service's own paths.
    // Returns the refusal message, or empty.
    static QString checkShortcut(const QString &shortcut);
    // A free suffix derived from the package identifier.
    QString proposeShortcut(const QString &packageName);
    // The demo account (created or reset to the demo password).
    bool seedDemo(QString *email, QString *password);

    // "仅受邀测试者可下载" (publish range 3, and anything but "所有人可下载", 2): the page and the
    // package only under the address with the application's invitation key.
    static bool isInvitedOnly(const Store::App &app);
    // The download page's path below the service: the suffix, followed by the invitation key for
    // an application restricted to invited testers.
    static QString pageAddress(const Store::App &app);

    static QString packagesDir(const QString &dataDir);
    static QString iconsDir(const QString &dataDir);
    static QString outboxDir(const QString &dataDir);
    static QString tempDir(const QString &dataDir);

private:
    ApiReply checkApiKey(const FormFields &fields) const;
    ApiReply requireUser(const FormFields &fields, Store::User *user);
    ApiReply registerUser(const FormFields &fields);
    ApiReply login(const FormFields &fields, const RequestInfo &info);
    ApiReply tooManyAttempts(qint64 seconds) const;
    ApiReply forgetPassword(const FormFields &fields);
    ApiReply uploadPrepare(const FormFields &fields);
    ApiReply appKeyByShortcut(const FormFields &fields);
    ApiReply checkNewestVersion(const FormFields &fields) const;
    bool keepFiles(
        const ReceivedPackage &package, const PackageInfo &info, Store::Release *release, QStringList *written);
    ApiReply launchReport(const QString &kind, const FormFields &fields, const RequestInfo &info);
    ApiReply constants() const;

    Store &m_store;
    Settings m_settings;
    QString m_publicUrl;
    AttemptLimiter m_loginsByAddress { 20, 15 * 60 };
    AttemptLimiter m_loginsByAccount { 5, 15 * 60 };
};
