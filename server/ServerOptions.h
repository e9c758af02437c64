#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The command line of quillo-server, parsed without side effects so that it can be tested.
struct ServerOptions
{
    QString listenHost = QStringLiteral("127.0.0.1");
    quint16 listenPort = 8690; // 0: the system picks a free port
    bool allowNonLoopback = false;
    QString dataDir;           // empty: the default folder below the user's data folder
    bool seedDemo = false;
    bool strict = false;
    QString newestVersion;     // newest desktop release announced by desktop/checkNewestVersion
    QString newestUrl;
    int readTimeoutSeconds = 30;
    int headerTimeoutSeconds = 10; // from the connection to the end of the request's headers
    int requestTimeoutSeconds = 60; // after the headers, plus one second per 128 KiB of the body
    QString publicUrl; // "http(s)://host[:port]" in mails and pages; empty: the listening address
    QStringList allowedHosts; // further names the Host header may carry ("*": any)
    qint64 maxUploadBytes = qint64(2048) * 1024 * 1024;
    int threads = 32;

    // Parses arguments (argv without the program name). On failure returns nothing and sets *error.
    static std::optional<ServerOptions> parse(const QStringList &arguments, QString *error);
    static QString usage();
    // Splits "ADDR:PORT" / "[v6]:PORT" / "ADDR" / ":PORT". False when malformed.
    static bool splitListen(const QString &text, QString *host, quint16 *port);
    // True for 127.0.0.0/8, ::1 and "localhost".
    static bool isLoopback(const QString &host);
    // Host part as written in a URL ("[::1]" for IPv6).
    QString urlHost() const;
    // True when listening on every address (0.0.0.0 or ::).
    bool listensEverywhere() const;
    // The address of this service as clients reach it: publicUrl, or the listening address and port.
    QString resolvedPublicUrl(quint16 boundPort) const;
    // "scheme://host[:port]" of a public URL, or empty with *error set.
    static QString normalizePublicUrl(const QString &text, QString *error);
};
