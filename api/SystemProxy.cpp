#include "api/SystemProxy.h"

#include "api/Logging.h"

#include <QNetworkProxyFactory>
#include <QUrl>

namespace SystemProxy {

bool environmentDecides()
{
    for (const char *name : { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
             "no_proxy", "NO_PROXY" }) {
        if (!qgetenv(name).isEmpty())
            return true;
    }
    return false;
}

std::optional<Proxy> forUrl(const QByteArray &encodedUrl)
{
    if (environmentDecides())
        return std::nullopt;
    const QUrl url = QUrl::fromEncoded(encodedUrl);
    // Safe off the main thread: Qt asks libproxy on a thread of its own.
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    if (proxies.isEmpty())
        return std::nullopt;
    // The first entry is the settings' answer; the rest are fallbacks (usually "direct").
    const QNetworkProxy &first = proxies.first();
    QByteArray scheme;
    switch (first.type()) {
    case QNetworkProxy::HttpProxy:
    case QNetworkProxy::HttpCachingProxy:
        scheme = "http";
        break;
    case QNetworkProxy::Socks5Proxy:
        scheme = "socks5h"; // the proxy resolves the service's name, as a browser's would
        break;
    default:
        return std::nullopt;
    }
    if (first.hostName().isEmpty() || first.port() == 0)
        return std::nullopt;
    QUrl proxyUrl;
    proxyUrl.setScheme(QString::fromLatin1(scheme));
    proxyUrl.setHost(first.hostName());
    proxyUrl.setPort(first.port());
    Proxy proxy { proxyUrl.toEncoded(), first.user().toUtf8(), first.password().toUtf8() };
    qCDebug(lcApi) << "system proxy for" << url.host() << "is" << proxyUrl.toString();
    return proxy;
}

} // namespace SystemProxy
