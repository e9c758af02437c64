#include "app/QSLoginModel.h"

#include "app/DataCheck.h"
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
    Preferences::flush();
}

QVariant QSLoginModel::currentUid()
{
    return Preferences::value(kLoggedUidKey);
}

QVariant QSLoginModel::currentUserInfo()
{
    return Preferences::value(kLoggedUserInfoKey);
}

void QSLoginModel::setAutoLogin()
{
    QSEnvironmentModel *environment = QSEnvironmentModel::sharedEnvironment();
    environment->setObject(currentUid(), kLoggedUidKey);
    environment->setObject(currentUserInfo(), kLoggedUserInfoKey);
}
