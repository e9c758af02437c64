#include "cli/EnvironmentSession.h"

#include "app/LogMask.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

bool g_active = false;

} // namespace

bool EnvironmentSession::isRequested()
{
    return qEnvironmentVariableIsSet(kVariable);
}

QString EnvironmentSession::key()
{
    return qEnvironmentVariable(kVariable).trimmed();
}

QString EnvironmentSession::problemWith(const QString &value)
{
    const QString key = value.trimmed();
    if (key.isEmpty())
        return u"环境变量 QUILLO_USER_KEY 是空的（CI 的密钥库里可能没有这个密钥）"_s;
    static const QRegularExpression shape(u"^[A-Za-z0-9]{32}$"_s);
    if (shape.match(key).hasMatch())
        return QString();
    static const QRegularExpression allowed(u"^[A-Za-z0-9]*$"_s);
    if (!allowed.match(key).hasMatch())
        return u"环境变量 QUILLO_USER_KEY 应为 32 个字母或数字，其中有别的字符"_s;
    return u"环境变量 QUILLO_USER_KEY 应为 32 个字母或数字，实际为 %1 个"_s.arg(key.size());
}

void EnvironmentSession::begin(const QString &key)
{
    LogMask::remember(key);
    Preferences::setMemoryOnly(true);
    QSLoginModel::setLoginWithUId(key, QVariant());
    g_active = true;
}

void EnvironmentSession::end()
{
    if (!g_active)
        return;
    g_active = false;
    Preferences::setMemoryOnly(false);
}

bool EnvironmentSession::isActive()
{
    return g_active;
}
