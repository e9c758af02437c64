#pragma once

#include <QByteArray>

#include <optional>

// The proxy that the desktop's own settings name for an address (GNOME's or KDE's proxy
// settings, a PAC file: whatever libproxy reads for Qt), in libcurl's terms.
//
// The standard variables come first: when any of http_proxy, https_proxy, all_proxy or no_proxy
// (in either case) is set, libcurl applies them itself and this names nothing. It names nothing
// either when the settings say to connect directly or name a proxy libcurl cannot use.
namespace SystemProxy {

struct Proxy
{
    QByteArray url; // "http://host:port" or "socks5h://host:port"
    QByteArray user;
    QByteArray password;
};

std::optional<Proxy> forUrl(const QByteArray &encodedUrl);

// True when one of the standard proxy variables is set (and not empty).
bool environmentDecides();

} // namespace SystemProxy
