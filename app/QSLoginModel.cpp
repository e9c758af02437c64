#include "app/QSLoginModel.h"

#include "app/DataCheck.h"
#include "app/LogMask.h"
#include "app/Preferences.h"
#include "app/QSEnvironmentModel.h"

bool QSLoginModel::isLogged()
{
    const QVariant uid = currentUid();
    return DataCheck::isValidString(uid) && uid.toString().size() == 32;
}

void QSLoginModel::setLoginWithUId(const QVariant &uid, const QVariant &userInfo)
{
    Preferences::setValue(kLoggedUidKey, uid);
    Preferences::setValue(kLoggedUserInfoKey, userInfo);
    Preferences::flush();
}

void QSLoginModel::setLogout()
{
    Preferences::setValue(kLoggedUidKey, QStringLiteral("0"));
    // The credentials go with the session; the rest of the record stays.
    const QVariant userInfo = currentUserInfo();
    if (userInfo.typeId() == QMetaType::QVariantMap) {
        QVariantMap record = userInfo.toMap();
        record.remove(kUserKeyMember);
        record.remove(kApiTokenMember);
        Preferences::setValue(kLoggedUserInfoKey, record);
    }
    Preferences::flush();
}

// Whatever reads the session tells the log mask of its secrets.
QVariant QSLoginModel::currentUid()
{
    const QVariant uid = Preferences::value(kLoggedUidKey);
    if (uid.typeId() == QMetaType::QString)
        LogMask::remember(uid.toString());
    return uid;
}

QVariant QSLoginModel::currentUserInfo()
{
    const QVariant userInfo = Preferences::value(kLoggedUserInfoKey);
    LogMask::rememberSecrets(userInfo);
    return userInfo;
}

void QSLoginModel::setAutoLogin()
{
    QSEnvironmentModel *environment = QSEnvironmentModel::sharedEnvironment();
    environment->setObject(currentUid(), kLoggedUidKey);
    environment->setObject(currentUserInfo(), kLoggedUserInfoKey);
}
