#pragma once

#include <QString>
#include <QVariant>

// The login session, kept in the preferences store under "ENV_LOGGED_UID" (the user key) and
// "ENV_LOGGED_USERINFO" (the data of the login reply, as the service returned it).
class QSLoginModel final
{
public:
    static inline const QString kLoggedUidKey = QStringLiteral("ENV_LOGGED_UID");
    static inline const QString kLoggedUserInfoKey = QStringLiteral("ENV_LOGGED_USERINFO");
    // The record's credentials: the user key and the token every call sends.
    static inline const QString kUserKeyMember = QStringLiteral("userKey");
    static inline const QString kApiTokenMember = QStringLiteral("u_api_token");

    // True exactly when the stored user key is a usable string of 32 characters.
    static bool isLogged();
    // Stores the user key and record, then flushes the store.
    static void setLoginWithUId(const QVariant &uid, const QVariant &userInfo);
    // Stores "0" as the user key, removes the user key and the token from the user record (the
    // rest of it stays) and flushes.
    static void setLogout();
    // The stored values as stored (may be "0", or invalid when absent).
    static QVariant currentUid();
    static QVariant currentUserInfo();
    // Copies both stored values into QSEnvironmentModel (absent values are skipped).
    static void setAutoLogin();
};
