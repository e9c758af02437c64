#include "api/CloudClient.h"

#include "api/Logging.h"

#include <QMetaMethod>
#include <QPointer>

using namespace Qt::StringLiterals;

namespace {
const QString kPlatformType = u"mac"_s;
} // namespace

std::unique_ptr<CloudClient> CloudClient::getInstance()
{
    return std::make_unique<CloudClient>();
}

CloudClient::CloudClient() : m_client(std::make_unique<CloudClientRequest>())
{
    m_client->setDelegate(this);
    m_client->setFinishSelector(u"finish:errorInfo:"_s);
    m_client->setFinishErrorSelector(u"finishError:errorInfo:"_s);
}

CloudClient::~CloudClient() = default;

bool CloudClient::invokeCallback(QObject *target, const QString &name, const QVariant &payload, CloudClient *client)
{
    if (!target)
        return false;
    const QStringList pieces = name.split(u':');
    const QByteArray method = pieces.first().toUtf8();
    QByteArray signature;
    if (pieces.size() == 2)
        signature = method + "(QVariant)";
    else if (pieces.size() == 3)
        signature = method + "(QVariant,CloudClient*)";
    else
        return false;
    const QMetaObject *meta = target->metaObject();
    const int index = meta->indexOfMethod(QMetaObject::normalizedSignature(signature.constData()).constData());
    if (index < 0) {
        qCWarning(lcApi) << meta->className() << "has no operation" << signature;
        return false;
    }
    const QMetaMethod operation = meta->method(index);
    if (pieces.size() == 2)
        return operation.invoke(target, Qt::DirectConnection, Q_ARG(QVariant, payload));
    return operation.invoke(target, Qt::DirectConnection, Q_ARG(QVariant, payload), Q_ARG(CloudClient *, client));
}

void CloudClient::finish(const QVariantMap &userInfo, const QVariant &data)
{
    const QPointer<QObject> target = userInfo.value(u"delegate"_s).value<QPointer<QObject>>();
    invokeCallback(target.data(), userInfo.value(u"selector"_s).toString(), data, this);
}

void CloudClient::finishError(const QVariantMap &userInfo, const QVariant &errorInfo)
{
    const QPointer<QObject> target = userInfo.value(u"delegate"_s).value<QPointer<QObject>>();
    invokeCallback(target.data(), userInfo.value(u"errorSelector"_s).toString(), errorInfo, this);
}

void CloudClient::start(const QString &mod, const QVariantMap &fields, QObject *delegate, const QString &selector,
                        const QString &errorSelector)
{
    m_client->callMethodWithMod(mod, QVariant(), fields, QVariant(), QVariant(), QVariant(), delegate, selector,
                                errorSelector);
}

void CloudClient::call(const QString &mod, Fields fields, QObject *delegate, const QString &selector,
                       const QString &errorSelector)
{
    QVariantMap map;
    for (const auto &[name, value] : fields) {
        if (!value.isValid())
            break;
        map.insert(name, value);
    }
    start(mod, map, delegate, selector, errorSelector);
}

void CloudClient::callWithAll(const QString &mod, Fields fields, QObject *delegate, const QString &selector,
                              const QString &errorSelector)
{
    QVariantMap map;
    for (const auto &[name, value] : fields)
        map.insert(name, value.isValid() ? value : QVariant(QString()));
    start(mod, map, delegate, selector, errorSelector);
}

void CloudClient::userLogoutWithUId(const QVariant &uid, QObject *delegate, const QString &selector,
                                    const QString &errorSelector)
{
    call(u"user/logout"_s, {{u"uId"_s, uid}}, delegate, selector, errorSelector);
}

void CloudClient::listAllUserOffCellByPage(const QVariant &page, QObject *delegate, const QString &selector,
                                           const QString &errorSelector)
{
    call(u"user/listAll"_s, {{u"page"_s, page}}, delegate, selector, errorSelector);
}

void CloudClient::listAllUserOffCellByKeyword(const QVariant &keyword, const QVariant &page, QObject *delegate,
                                              const QString &selector, const QString &errorSelector)
{
    call(u"user/listAll"_s, {{u"page"_s, page}, {u"keyword"_s, keyword}}, delegate, selector, errorSelector);
}

void CloudClient::listRecommendWithUId(const QVariant &uid, QObject *delegate, const QString &selector,
                                       const QString &errorSelector)
{
    call(u"user/getRecommend"_s, {{u"uId"_s, uid}}, delegate, selector, errorSelector);
}

void CloudClient::getNewJoinedUserNumberWithMaxUId(const QVariant &maxUid, QObject *delegate,
                                                   const QString &selector, const QString &errorSelector)
{
    call(u"user/newNumber"_s, {{u"uId"_s, maxUid}}, delegate, selector, errorSelector);
}

void CloudClient::getAllUserCountOfCellwithDelegate(QObject *delegate, const QString &selector,
                                                    const QString &errorSelector)
{
    call(u"user/allCount"_s, {{u"x"_s, u"x"_s}}, delegate, selector, errorSelector);
}

void CloudClient::contactAddWithUId1(const QVariant &uId1, const QVariant &uId2, QObject *delegate,
                                     const QString &selector, const QString &errorSelector)
{
    call(u"contact/add"_s, {{u"uId1"_s, uId1}, {u"uId2"_s, uId2}}, delegate, selector, errorSelector);
}

void CloudClient::contactRemoveWithUid1(const QVariant &uid1, const QVariant &uid2, QObject *delegate,
                                        const QString &selector, const QString &errorSelector)
{
    call(u"contact/remove"_s, {{u"uId1"_s, uid1}, {u"uId2"_s, uid2}}, delegate, selector, errorSelector);
}

void CloudClient::contactListWithUid(const QVariant &uid, QObject *delegate, const QString &selector,
                                     const QString &errorSelector)
{
    call(u"contact/listAll"_s, {{u"uId"_s, uid}}, delegate, selector, errorSelector);
}

void CloudClient::sendMobileValidCode(const QVariant &mobile, const QVariant &token, QObject *delegate,
                                      const QString &selector, const QString &errorSelector)
{
    callWithAll(u"user/sendMobileValidCode"_s, {{u"mobile"_s, mobile}, {u"token"_s, token}}, delegate, selector,
                errorSelector);
}

void CloudClient::userLoginWithMobile(const QVariant &mobile, const QVariant &validCode, QObject *delegate,
                                      const QString &selector, const QString &errorSelector)
{
    callWithAll(u"user/login"_s, {{u"mobile"_s, mobile}, {u"validCode"_s, validCode}}, delegate, selector,
                errorSelector);
}

void CloudClient::reportAddWithUID(const QVariant &uid, const QVariant &content, const QVariant &contact,
                                   QObject *delegate, const QString &selector, const QString &errorSelector)
{
    call(u"report/add"_s, {{u"content"_s, content}, {u"uId"_s, uid}, {u"phone"_s, contact}}, delegate, selector,
         errorSelector);
}

void CloudClient::searchApplicationWithName(const QVariant &name, const QVariant &page, QObject *delegate,
                                            const QString &selector, const QString &errorSelector)
{
    callWithAll(u"app/search"_s, {{u"page"_s, page}, {u"keyword"_s, name}}, delegate, selector, errorSelector);
}

void CloudClient::getApplicationInfoWithKey(const QVariant &aKey, const QVariant &uKey, QObject *delegate,
                                            const QString &selector, const QString &errorSelector)
{
    call(u"app/view"_s, {{u"aKey"_s, aKey}, {u"uKey"_s, uKey}}, delegate, selector, errorSelector);
}

void CloudClient::getApplicationHistoryVersionWithKey(const QVariant &aKey, const QVariant &page,
                                                      QObject *delegate, const QString &selector,
                                                      const QString &errorSelector)
{
    call(u"app/listAllHistoryVersions"_s, {{u"aKey"_s, aKey}, {u"page"_s, page}}, delegate, selector,
         errorSelector);
}

void CloudClient::getApplicationCommentsWithKey(const QVariant &aKey, const QVariant &uKey, const QVariant &page,
                                                QObject *delegate, const QString &selector,
                                                const QString &errorSelector)
{
    call(u"app/listAllComments"_s, {{u"aKey"_s, aKey}, {u"uKey"_s, uKey}, {u"page"_s, page}}, delegate, selector,
         errorSelector);
}

void CloudClient::sendApplicationCommentWithKey(const QVariant &aKey, const QVariant &uKey, const QVariant &content,
                                                const QVariant &images, QObject *delegate, const QString &selector,
                                                const QString &errorSelector)
{
    QList<QByteArray> jpegs;
    for (const QVariant &image : images.toList()) {
        if (image.typeId() == QMetaType::QByteArray)
            jpegs.append(image.toByteArray());
    }
    m_client->setImages(jpegs);
    call(u"app/addComment"_s, {{u"aKey"_s, aKey}, {u"uKey"_s, uKey}, {u"content"_s, content}}, delegate, selector,
         errorSelector);
}

void CloudClient::updateApplicationInfoWithAppKey(const QVariant &aKey, const QVariant &column, const QVariant &value,
                                                  const QVariant &uKey, QObject *delegate, const QString &selector,
                                                  const QString &errorSelector)
{
    call(u"app/update"_s, {{u"aKey"_s, aKey}, {u"column"_s, column}, {u"value"_s, value}, {u"uKey"_s, uKey}},
         delegate, selector, errorSelector);
}

void CloudClient::getApplicationKeyByShortcut(const QVariant &shortcut, QObject *delegate, const QString &selector,
                                              const QString &errorSelector)
{
    call(u"app/getAppKeyByShortcut"_s, {{u"shortcut"_s, shortcut}}, delegate, selector, errorSelector);
}

void CloudClient::listMyPublishedAppWithUserKey(const QVariant &uKey, const QVariant &page, QObject *delegate,
                                                const QString &selector, const QString &errorSelector)
{
    call(u"user/listMyPublished"_s, {{u"uKey"_s, uKey}, {u"page"_s, page}}, delegate, selector, errorSelector);
}

void CloudClient::listFollowedAppWithUserKey(const QVariant &uKey, const QVariant &page, QObject *delegate,
                                             const QString &selector, const QString &errorSelector)
{
    call(u"user/listFollowedApps"_s, {{u"uKey"_s, uKey}, {u"page"_s, page}}, delegate, selector, errorSelector);
}

void CloudClient::followAppWithUserKey(const QVariant &uKey, const QVariant &appKey, QObject *delegate,
                                       const QString &selector, const QString &errorSelector)
{
    call(u"user/followApp"_s, {{u"uKey"_s, uKey}, {u"aKey"_s, appKey}}, delegate, selector, errorSelector);
}

void CloudClient::unfollowAppWithUserKey(const QVariant &uKey, const QVariant &appKey, QObject *delegate,
                                         const QString &selector, const QString &errorSelector)
{
    call(u"user/unfollowApp"_s, {{u"uKey"_s, uKey}, {u"aKey"_s, appKey}}, delegate, selector, errorSelector);
}

void CloudClient::deleteScreenshotWithKey(const QVariant &iKey, const QVariant &appKey, QObject *delegate,
                                          const QString &selector, const QString &errorSelector)
{
    call(u"app/removeScreenshot"_s, {{u"iKey"_s, iKey}, {u"aKey"_s, appKey}}, delegate, selector, errorSelector);
}

void CloudClient::syncAppStoreWithAppKey(const QVariant &aKey, const QVariant &uKey, QObject *delegate,
                                         const QString &selector, const QString &errorSelector)
{
    call(u"app/syncAppStore"_s, {{u"aKey"_s, aKey}, {u"uKey"_s, uKey}}, delegate, selector, errorSelector);
}

void CloudClient::loginWithEmail(const QVariant &email, const QVariant &password, QObject *delegate,
                                 const QString &selector, const QString &errorSelector)
{
    call(u"user/login"_s, {{u"email"_s, email}, {u"password"_s, password}}, delegate, selector, errorSelector);
}

void CloudClient::registWithUserName(const QVariant &userName, const QVariant &email, const QVariant &password,
                                     QObject *delegate, const QString &selector, const QString &errorSelector)
{
    call(u"user/register"_s, {{u"email"_s, email}, {u"name"_s, userName}, {u"password"_s, password}}, delegate,
         selector, errorSelector);
}

void CloudClient::findPasswordWithEmail(const QVariant &email, QObject *delegate, const QString &selector,
                                        const QString &errorSelector)
{
    call(u"user/forgetPassword"_s, {{u"email"_s, email}}, delegate, selector, errorSelector);
}

void CloudClient::prepareUploadWithPackageName(const QVariant &packageName, const QVariant &type,
                                               const QVariant &uKey, QObject *delegate, const QString &selector,
                                               const QString &errorSelector)
{
    call(u"app/uploadPrepare"_s, {{u"packageName"_s, packageName}, {u"type"_s, type}, {u"uKey"_s, uKey}}, delegate,
         selector, errorSelector);
}

void CloudClient::getConfigConstants(QObject *delegate, const QString &selector, const QString &errorSelector)
{
    call(u"config/constants"_s, {}, delegate, selector, errorSelector);
}

void CloudClient::checkNewestVersion(const QVariant &releaseNo, QObject *delegate, const QString &selector,
                                     const QString &errorSelector)
{
    call(u"desktop/checkNewestVersion"_s, {{u"releaseno"_s, releaseNo}, {u"type"_s, kPlatformType}}, delegate,
         selector, errorSelector);
}

void CloudClient::setLaunchLogWithDelegate(QObject *delegate, const QString &selector, const QString &errorSelector)
{
    call(u"desktop/launchLog"_s, {{u"type"_s, kPlatformType}}, delegate, selector, errorSelector);
}

void CloudClient::setFirstLaunchWithDelegate(QObject *delegate, const QString &selector, const QString &errorSelector)
{
    call(u"desktop/firstLaunch"_s, {{u"type"_s, kPlatformType}}, delegate, selector, errorSelector);
}
