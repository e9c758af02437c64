#pragma once

#include "api/CloudClientRequest.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <initializer_list>
#include <memory>
#include <utility>

// The one place where screens call the service: one operation per endpoint. Each operation
// collects its form fields, starts the call through its own CloudClientRequest, and routes the
// outcome back to the caller's target by name.
//
// Usage (on the main thread):
//     std::unique_ptr<CloudClient> m_cloudClient;      // a member of the screen
//     ...
//     m_cloudClient = CloudClient::getInstance();      // releases (and cancels) the previous call
//     m_cloudClient->loginWithEmail(email, password, this, u"loginSuccess:"_s, u"loginError:"_s);
//     ...
//     Q_INVOKABLE void loginSuccess(const QVariant &data);        // the reply's "data"
//     Q_INVOKABLE void loginError(const QVariant &errorRecord);   // {"code", "message"?}
//
// Callback convention: the operation name is split at ':'. Two pieces ("loginSuccess:") invoke
// the slot or Q_INVOKABLE `loginSuccess(const QVariant &payload)`; three pieces ("a:b:") invoke
// `a(const QVariant &payload, CloudClient *client)`; any other count invokes nothing. A target
// that has been destroyed is never called (it is held by QPointer). Exactly one of the two
// operations is called per call, on the main thread, unless the client is destroyed first:
// destroying it cancels its call and nothing is reported. A callback may replace or destroy
// the client that is calling it.
//
// Arguments are QVariants (text, or a number for pages); an invalid QVariant is an absent
// argument. The fields are collected in the order listed at each operation, and the list ends
// at the first absent argument: it and every field after it are left out. Exceptions, which
// always send both fields (an absent one as empty text): sendMobileValidCode,
// userLoginWithMobile and searchApplicationWithName. Every call also carries "_uId",
// "_api_key" and "_token".
//
// Error records: "1" empty reply, "2" not JSON, "100" transport failure (all with their fixed
// Chinese messages), or the service's refusal code as decimal text with its "message".
class CloudClient final : public QObject
{
    Q_OBJECT
public:
    // A new client each time; the caller owns it.
    static std::unique_ptr<CloudClient> getInstance();

    CloudClient();
    ~CloudClient() override;

    CloudClientRequest *client() const { return m_client.get(); }

    // Invokes `name` on target by the callback convention above; false when nothing was called.
    static bool invokeCallback(QObject *target, const QString &name, const QVariant &payload, CloudClient *client);

    // Called by the envelope with the call's user-info record.
    Q_INVOKABLE void finish(const QVariantMap &userInfo, const QVariant &data);
    Q_INVOKABLE void finishError(const QVariantMap &userInfo, const QVariant &errorInfo);

    // "user/logout": "uId"
    void userLogoutWithUId(const QVariant &uid, QObject *delegate, const QString &selector, const QString &errorSelector);
    // "user/listAll": "page"
    void listAllUserOffCellByPage(const QVariant &page, QObject *delegate, const QString &selector,
                                  const QString &errorSelector);
    // "user/listAll": "page", "keyword"
    void listAllUserOffCellByKeyword(const QVariant &keyword, const QVariant &page, QObject *delegate,
                                     const QString &selector, const QString &errorSelector);
    // "user/getRecommend": "uId"
    void listRecommendWithUId(const QVariant &uid, QObject *delegate, const QString &selector,
                              const QString &errorSelector);
    // "user/newNumber": "uId" (the largest known user id)
    void getNewJoinedUserNumberWithMaxUId(const QVariant &maxUid, QObject *delegate, const QString &selector,
                                          const QString &errorSelector);
    // "user/allCount": "x" = "x"
    void getAllUserCountOfCellwithDelegate(QObject *delegate, const QString &selector, const QString &errorSelector);
    // "contact/add": "uId1", "uId2"
    void contactAddWithUId1(const QVariant &uId1, const QVariant &uId2, QObject *delegate, const QString &selector,
                            const QString &errorSelector);
    // "contact/remove": "uId1", "uId2"
    void contactRemoveWithUid1(const QVariant &uid1, const QVariant &uid2, QObject *delegate, const QString &selector,
                               const QString &errorSelector);
    // "contact/listAll": "uId"
    void contactListWithUid(const QVariant &uid, QObject *delegate, const QString &selector,
                            const QString &errorSelector);
    // "user/sendMobileValidCode": "mobile", "token" (both always)
    void sendMobileValidCode(const QVariant &mobile, const QVariant &token, QObject *delegate, const QString &selector,
                             const QString &errorSelector);
    // "user/login": "mobile", "validCode" (both always)
    void userLoginWithMobile(const QVariant &mobile, const QVariant &validCode, QObject *delegate,
                             const QString &selector, const QString &errorSelector);
    // "report/add": "content", "uId", "phone" (collected in this order)
    void reportAddWithUID(const QVariant &uid, const QVariant &content, const QVariant &contact, QObject *delegate,
                          const QString &selector, const QString &errorSelector);
    // "app/search": "page", "keyword" (both always)
    void searchApplicationWithName(const QVariant &name, const QVariant &page, QObject *delegate,
                                   const QString &selector, const QString &errorSelector);
    // "app/view": "aKey", "uKey"
    void getApplicationInfoWithKey(const QVariant &aKey, const QVariant &uKey, QObject *delegate,
                                   const QString &selector, const QString &errorSelector);
    // "app/listAllHistoryVersions": "aKey", "page"
    void getApplicationHistoryVersionWithKey(const QVariant &aKey, const QVariant &page, QObject *delegate,
                                             const QString &selector, const QString &errorSelector);
    // "app/listAllComments": "aKey", "uKey", "page"
    void getApplicationCommentsWithKey(const QVariant &aKey, const QVariant &uKey, const QVariant &page,
                                       QObject *delegate, const QString &selector, const QString &errorSelector);
    // "app/addComment": "aKey", "uKey", "content"; images: a QVariantList of JPEG bytes
    // (QByteArray), sent as "image[]" parts on this and every later call of this client.
    void sendApplicationCommentWithKey(const QVariant &aKey, const QVariant &uKey, const QVariant &content,
                                       const QVariant &images, QObject *delegate, const QString &selector,
                                       const QString &errorSelector);
    // "app/update": "aKey", "column", "value", "uKey"
    void updateApplicationInfoWithAppKey(const QVariant &aKey, const QVariant &column, const QVariant &value,
                                         const QVariant &uKey, QObject *delegate, const QString &selector,
                                         const QString &errorSelector);
    // "app/getAppKeyByShortcut": "shortcut"
    void getApplicationKeyByShortcut(const QVariant &shortcut, QObject *delegate, const QString &selector,
                                     const QString &errorSelector);
    // "user/listMyPublished": "uKey", "page"
    void listMyPublishedAppWithUserKey(const QVariant &uKey, const QVariant &page, QObject *delegate,
                                       const QString &selector, const QString &errorSelector);
    // "user/listFollowedApps": "uKey", "page"
    void listFollowedAppWithUserKey(const QVariant &uKey, const QVariant &page, QObject *delegate,
                                    const QString &selector, const QString &errorSelector);
    // "user/followApp": "uKey", "aKey"
    void followAppWithUserKey(const QVariant &uKey, const QVariant &appKey, QObject *delegate, const QString &selector,
                              const QString &errorSelector);
    // "user/unfollowApp": "uKey", "aKey"
    void unfollowAppWithUserKey(const QVariant &uKey, const QVariant &appKey, QObject *delegate,
                                const QString &selector, const QString &errorSelector);
    // "app/removeScreenshot": "iKey", "aKey"
    void deleteScreenshotWithKey(const QVariant &iKey, const QVariant &appKey, QObject *delegate,
                                 const QString &selector, const QString &errorSelector);
    // "app/syncAppStore": "aKey", "uKey"
    void syncAppStoreWithAppKey(const QVariant &aKey, const QVariant &uKey, QObject *delegate, const QString &selector,
                                const QString &errorSelector);
    // "user/login": "email", "password"
    void loginWithEmail(const QVariant &email, const QVariant &password, QObject *delegate, const QString &selector,
                        const QString &errorSelector);
    // "user/register": "email", "name", "password" (collected in this order)
    void registWithUserName(const QVariant &userName, const QVariant &email, const QVariant &password,
                            QObject *delegate, const QString &selector, const QString &errorSelector);
    // "user/forgetPassword": "email"
    void findPasswordWithEmail(const QVariant &email, QObject *delegate, const QString &selector,
                               const QString &errorSelector);
    // "app/uploadPrepare": "packageName", "type" ("ios" or "android"), "uKey"
    void prepareUploadWithPackageName(const QVariant &packageName, const QVariant &type, const QVariant &uKey,
                                      QObject *delegate, const QString &selector, const QString &errorSelector);
    // "config/constants": no fields of its own
    void getConfigConstants(QObject *delegate, const QString &selector, const QString &errorSelector);
    // "desktop/checkNewestVersion": "releaseno" (the program's short version), "type" = "mac"
    void checkNewestVersion(const QVariant &releaseNo, QObject *delegate, const QString &selector,
                            const QString &errorSelector);
    // "desktop/launchLog": "type" = "mac"
    void setLaunchLogWithDelegate(QObject *delegate, const QString &selector, const QString &errorSelector);
    // "desktop/firstLaunch": "type" = "mac"
    void setFirstLaunchWithDelegate(QObject *delegate, const QString &selector, const QString &errorSelector);

private:
    using Fields = std::initializer_list<std::pair<QString, QVariant>>;
    // Fields up to the first absent one.
    void call(const QString &mod, Fields fields, QObject *delegate, const QString &selector,
              const QString &errorSelector);
    // Every field, an absent one as empty text.
    void callWithAll(const QString &mod, Fields fields, QObject *delegate, const QString &selector,
                     const QString &errorSelector);
    void start(const QString &mod, const QVariantMap &fields, QObject *delegate, const QString &selector,
               const QString &errorSelector);

    std::unique_ptr<CloudClientRequest> m_client;
};
