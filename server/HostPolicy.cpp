#include "server/HostPolicy.h"

#include "server/ServerOptions.h"
#include "server/WireRules.h"

#include <QHostAddress>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

// "host[:port]" or "[v6][:port]" into the host (brackets kept) and the port, -1 when absent or malformed.
std::pair<QString, int> split(const QString &authority)
{
    const qsizetype colon = authority.lastIndexOf(u':');
    if (colon < 0 || colon < authority.lastIndexOf(u']'))
        return { authority.toLower(), -1 };
    bool ok = false;
    const int port = authority.mid(colon + 1).toInt(&ok);
    return { authority.left(colon).toLower(), ok && port > 0 && port < 65536 ? port : -2 };
}

bool isAddressLiteral(const QString &host)
{
    const bool bracketed = host.startsWith(u'[') && host.endsWith(u']');
    const QHostAddress address(bracketed ? host.mid(1, host.size() - 2) : host);
    return !address.isNull() && (address.protocol() == QAbstractSocket::IPv6Protocol) == bracketed;
}

} // namespace

HostPolicy::HostPolicy(const ServerOptions &options, const QString &publicUrl, quint16 port)
    : m_listenHost(options.listenHost)
    , m_port(port)
    , m_everywhere(options.listensEverywhere())
{
    const QUrl url(publicUrl);
    const QString host = url.host().contains(u':') ? u'[' + url.host() + u']' : url.host();
    m_names.append({ host.toLower(), url.port(-1) });
    for (const QString &allowed : options.allowedHosts) {
        if (allowed == u"*"_s) {
            m_any = true;
            continue;
        }
        const auto [name, namePort] = split(allowed);
        m_names.append({ name, namePort });
    }
}

bool HostPolicy::matchesName(const QString &host, int port) const
{
    for (const Name &name : m_names) {
        if (name.host != host)
            continue;
        // Without a port the header names the scheme's default one.
        if (name.port == -1 || name.port == port || (port == -1 && (name.port == 80 || name.port == 443)))
            return true;
    }
    return false;
}

QString HostPolicy::check(const QString &hostHeader) const
{
    if (m_any)
        return {};
    const QString listening = WireRules::checkHost(hostHeader, m_listenHost, m_port, false);
    if (listening.isEmpty() || hostHeader.isEmpty())
        return listening;
    const auto [host, port] = split(hostHeader);
    if (port == -2)
        return listening;
    if (m_everywhere && port == m_port && isAddressLiteral(host))
        return {};
    return matchesName(host, port) ? QString() : listening;
}
