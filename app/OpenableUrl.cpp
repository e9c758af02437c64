#include "app/OpenableUrl.h"

#include "app/Config.h"
#include "app/Logging.h"

#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

QString serviceHostName()
{
    // "host[:port]", the host possibly a bracketed IPv6 address.
    return QUrl(u"http://"_s + Config::serviceHost()).host();
}

} // namespace

namespace OpenableUrl {

bool isAllowed(const QString &url)
{
    // Read as the desktop opens it (tolerantly: a blank in a path is fine); the text itself must
    // also begin with the scheme, as xdg-open, which gets the text, reads it.
    const QUrl parsed(url);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return false;
    const QString scheme = parsed.scheme().toLower();
    if (!url.startsWith(scheme + u"://"_s, Qt::CaseInsensitive))
        return false;
    if (scheme == u"https"_s)
        return true;
    return scheme == u"http"_s && parsed.host().compare(serviceHostName(), Qt::CaseInsensitive) == 0;
}

QString refusal(const QString &url)
{
    if (isAllowed(url))
        return QString();
    const QUrl parsed(url);
    const QString shown = parsed.isValid()
        ? parsed.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment)
        : u"（无效的地址）"_s;
    qCWarning(lcApp).noquote() << "Refused to open" << shown.toUtf8().toPercentEncoding(":/@[]()")
                               << "- only https, or http on the service's host, is opened";
    return u"出于安全考虑，没有打开这个地址：%1\n只打开 https 地址和 Quillo 服务（%2）的 http 地址。"_s.arg(
        shown, serviceHostName());
}

} // namespace OpenableUrl
