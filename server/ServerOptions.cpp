#include "server/ServerOptions.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

struct Flags
{
    QCommandLineOption listen{u"listen"_s, u"Address and port to listen on (default 127.0.0.1:8690; port 0 picks a free port)."_s, u"ADDR:PORT"_s};
    QCommandLineOption allowNonLoopback{u"allow-non-loopback"_s, u"Allow --listen on an address other than loopback."_s};
    QCommandLineOption data{u"data"_s, u"Data folder: database, packages, icons, outbox."_s, u"DIR"_s};
    QCommandLineOption seedDemo{u"seed-demo"_s, u"Create the demo account (idempotent) and print its e-mail and password."_s};
    QCommandLineOption strict{u"strict"_s, u"Refuse requests whose form departs from the desktop client's wire format."_s};
    QCommandLineOption newestVersion{u"newest-version"_s, u"Newest desktop release announced by desktop/checkNewestVersion."_s, u"VERSION"_s};
    QCommandLineOption newestUrl{u"newest-url"_s, u"Download address of that release."_s, u"URL"_s};
    QCommandLineOption readTimeout{u"read-timeout"_s, u"Seconds a request may stall before it is dropped (default 30)."_s, u"SECONDS"_s};
    QCommandLineOption headerTimeout { u"header-timeout"_s,
        u"Seconds from the connection to the end of the request's headers (default 10)."_s, u"SECONDS"_s };
    QCommandLineOption requestTimeout { u"request-timeout"_s,
        u"Seconds a request's body may take after its headers, plus one per 128 KiB (default 60)."_s, u"SECONDS"_s };
    QCommandLineOption publicUrl { u"public-url"_s,
        u"The service's address as clients reach it, for mails and pages (default: the listening address)."_s,
        u"URL"_s };
    QCommandLineOption allowHost { u"allow-host"_s,
        u"Another name the Host header may carry (repeatable; * accepts any)."_s, u"HOST[:PORT]"_s };
    QCommandLineOption maxUpload{u"max-upload-mb"_s, u"Largest accepted upload in MiB (default 2048)."_s, u"MIB"_s};
    QCommandLineOption threads{u"threads"_s, u"Worker threads (default 32)."_s, u"N"_s};
    QCommandLineOption help{{u"h"_s, u"help"_s}, u"Show this help."_s};

    void addTo(QCommandLineParser &parser) const
    {
        for (const QCommandLineOption *o :
            { &listen, &allowNonLoopback, &data, &seedDemo, &strict, &newestVersion, &newestUrl, &readTimeout,
                &headerTimeout, &requestTimeout, &publicUrl, &allowHost, &maxUpload, &threads, &help })
            parser.addOption(*o);
    }
};

} // namespace

bool ServerOptions::splitListen(const QString &text, QString *host, quint16 *port)
{
    QString h;
    QString p;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return false;
        h = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return false;
            p = rest.mid(1);
        }
    } else {
        const qsizetype colon = text.lastIndexOf(u':');
        if (colon >= 0 && text.indexOf(u':') != colon)
            return false; // bare IPv6 must be bracketed
        h = colon >= 0 ? text.left(colon) : text;
        if (colon >= 0)
            p = text.mid(colon + 1);
    }
    if (h.isEmpty())
        h = u"127.0.0.1"_s;
    quint16 value = *port;
    if (!p.isEmpty()) {
        bool ok = false;
        const uint n = p.toUInt(&ok);
        if (!ok || n > 65535)
            return false;
        value = quint16(n);
    }
    *host = h;
    *port = value;
    return true;
}

bool ServerOptions::isLoopback(const QString &host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

QString ServerOptions::urlHost() const
{
    return listenHost.contains(u':') ? u'[' + listenHost + u']' : listenHost;
}

bool ServerOptions::listensEverywhere() const
{
    const QHostAddress address(listenHost);
    return address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
}

QString ServerOptions::resolvedPublicUrl(quint16 boundPort) const
{
    return publicUrl.isEmpty() ? u"http://%1:%2"_s.arg(urlHost()).arg(boundPort) : publicUrl;
}

QString ServerOptions::normalizePublicUrl(const QString &text, QString *error)
{
    const QUrl url(text, QUrl::StrictMode);
    const bool plain = url.isValid() && (url.scheme() == u"http"_s || url.scheme() == u"https"_s)
        && !url.host().isEmpty() && url.userInfo().isEmpty() && (url.path().isEmpty() || url.path() == u"/"_s)
        && !url.hasQuery() && !url.hasFragment();
    if (!plain) {
        *error = u"--public-url expects http://HOST[:PORT] or https://HOST[:PORT] without a path, got "_s + text;
        return {};
    }
    return url.adjusted(QUrl::RemovePath).toString(QUrl::FullyEncoded);
}

namespace {

bool parseHosts(const QStringList &values, QStringList *hosts, QString *error)
{
    static const QRegularExpression form(
        u"^(\\*|[A-Za-z0-9.-]{1,253}(:[0-9]{1,5})?|\\[[0-9A-Fa-f:.]+\\](:[0-9]{1,5})?)$"_s);
    for (const QString &value : values) {
        if (!form.match(value).hasMatch()) {
            *error = u"--allow-host expects HOST, HOST:PORT or *, got "_s + value;
            return false;
        }
        hosts->append(value.toLower());
    }
    return true;
}

} // namespace

namespace {

// --listen, with the loopback rule, and the names the service goes by.
bool parseAddresses(const QCommandLineParser &parser, const Flags &flags, ServerOptions &o, QString *error)
{
    if (parser.isSet(flags.listen)
        && !ServerOptions::splitListen(parser.value(flags.listen), &o.listenHost, &o.listenPort)) {
        *error = u"--listen expects ADDR:PORT, got "_s + parser.value(flags.listen);
        return false;
    }
    o.allowNonLoopback = parser.isSet(flags.allowNonLoopback);
    if (!o.allowNonLoopback && !ServerOptions::isLoopback(o.listenHost)) {
        *error = u"refusing to listen on %1: it is not a loopback address (use --allow-non-loopback to permit it)"_s.arg(o.listenHost);
        return false;
    }
    if (QHostAddress(o.listenHost).isNull() && o.listenHost.compare(u"localhost"_s, Qt::CaseInsensitive) != 0) {
        *error = u"--listen needs a numeric address or localhost, got "_s + o.listenHost;
        return false;
    }
    if (o.listenHost.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        o.listenHost = u"127.0.0.1"_s;
    if (parser.isSet(flags.publicUrl)) {
        o.publicUrl = ServerOptions::normalizePublicUrl(parser.value(flags.publicUrl), error);
        if (o.publicUrl.isEmpty())
            return false;
    } else if (o.listensEverywhere()) {
        *error = u"listening on every address needs --public-url, the address that mails and pages name"_s;
        return false;
    }
    return parseHosts(parser.values(flags.allowHost), &o.allowedHosts, error);
}

bool parseNumbers(const QCommandLineParser &parser, const Flags &flags, ServerOptions &o, QString *error)
{
    auto positive = [&](const QCommandLineOption &option, qint64 max, qint64 *out) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        const qint64 n = parser.value(option).toLongLong(&ok);
        if (!ok || n < 1 || n > max) {
            *error = u"--%1 expects a number from 1 to %2"_s.arg(option.names().constFirst()).arg(max);
            return false;
        }
        *out = n;
        return true;
    };
    qint64 timeout = o.readTimeoutSeconds;
    qint64 headerTimeout = o.headerTimeoutSeconds;
    qint64 requestTimeout = o.requestTimeoutSeconds;
    qint64 maxMiB = o.maxUploadBytes / (1024 * 1024);
    qint64 threads = o.threads;
    if (!positive(flags.readTimeout, 3600, &timeout) || !positive(flags.headerTimeout, 600, &headerTimeout)
        || !positive(flags.requestTimeout, 86400, &requestTimeout) || !positive(flags.maxUpload, 1024 * 1024, &maxMiB)
        || !positive(flags.threads, 256, &threads))
        return false;
    o.readTimeoutSeconds = int(timeout);
    o.headerTimeoutSeconds = int(headerTimeout);
    o.requestTimeoutSeconds = int(requestTimeout);
    o.maxUploadBytes = maxMiB * 1024 * 1024;
    o.threads = int(threads);
    return true;
}

} // namespace

std::optional<ServerOptions> ServerOptions::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    Flags flags;
    flags.addTo(parser);
    if (!parser.parse(QStringList { u"quillo-server"_s } + arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = u"unexpected argument: "_s + parser.positionalArguments().constFirst();
        return std::nullopt;
    }
    if (parser.isSet(flags.help)) {
        *error = QString();
        return std::nullopt;
    }
    ServerOptions o;
    if (!parseAddresses(parser, flags, o, error))
        return std::nullopt;
    o.dataDir = parser.value(flags.data);
    o.seedDemo = parser.isSet(flags.seedDemo);
    o.strict = parser.isSet(flags.strict);
    o.newestVersion = parser.value(flags.newestVersion).trimmed();
    o.newestUrl = parser.value(flags.newestUrl).trimmed();
    if (o.newestVersion.isEmpty() != o.newestUrl.isEmpty()) {
        *error = u"--newest-version and --newest-url go together"_s;
        return std::nullopt;
    }
    if (!parseNumbers(parser, flags, o, error))
        return std::nullopt;
    return o;
}

QString ServerOptions::usage()
{
    QCommandLineParser parser;
    Flags flags;
    flags.addTo(parser);
    parser.setApplicationDescription(u"Local stand-in of the Quillo service."_s);
    return parser.helpText();
}
