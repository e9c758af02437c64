#pragma once

#include <QString>
#include <QStringList>

struct ServerOptions;

// Which Host headers name this service. A page of another origin whose name has been pointed at
// this machine (DNS rebinding) sends its own name and is refused. Accepted: the listening address
// and "localhost" with the port, any address literal with the port when listening on every
// address, the public URL's host, and the names given with --allow-host ("*": any).
class HostPolicy final
{
public:
    HostPolicy() = default;
    HostPolicy(const ServerOptions &options, const QString &publicUrl, quint16 port);

    // Empty when the header names this service, else why it does not.
    QString check(const QString &hostHeader) const;

private:
    struct Name
    {
        QString host;
        int port = -1; // -1: any
    };
    bool matchesName(const QString &host, int port) const;

    QString m_listenHost;
    quint16 m_port = 0;
    bool m_everywhere = false;
    bool m_any = false;
    QList<Name> m_names;
};
