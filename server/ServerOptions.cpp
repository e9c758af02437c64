#include "server/ServerOptions.h"

#include <QCommandLineParser>
#include <QHostAddress>

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
    QCommandLineOption maxUpload{u"max-upload-mb"_s, u"Largest accepted upload in MiB (default 2048)."_s, u"MIB"_s};
    QCommandLineOption threads{u"threads"_s, u"Worker threads (default 32)."_s, u"N"_s};
    QCommandLineOption help{{u"h"_s, u"help"_s}, u"Show this help."_s};

    void addTo(QCommandLineParser &parser) const
    {
        for (const QCommandLineOption *o : {&listen, &allowNonLoopback, &data, &seedDemo, &strict, &newestVersion,
                                            &newestUrl, &readTimeout, &maxUpload, &threads, &help})
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

std::optional<ServerOptions> ServerOptions::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    Flags flags;
    flags.addTo(parser);
    if (!parser.parse(QStringList{u"quillo-server"_s} + arguments)) {
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
    if (parser.isSet(flags.listen)) {
        if (!splitListen(parser.value(flags.listen), &o.listenHost, &o.listenPort)) {
            *error = u"--listen expects ADDR:PORT, got "_s + parser.value(flags.listen);
            return std::nullopt;
        }
    }
    o.allowNonLoopback = parser.isSet(flags.allowNonLoopback);
    if (!o.allowNonLoopback && !isLoopback(o.listenHost)) {
        *error = u"refusing to listen on %1: it is not a loopback address (use --allow-non-loopback to permit it)"_s.arg(o.listenHost);
        return std::nullopt;
    }
    if (QHostAddress(o.listenHost).isNull() && o.listenHost.compare(u"localhost"_s, Qt::CaseInsensitive) != 0) {
        *error = u"--listen needs a numeric address or localhost, got "_s + o.listenHost;
        return std::nullopt;
    }
    if (o.listenHost.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        o.listenHost = u"127.0.0.1"_s;
    o.dataDir = parser.value(flags.data);
    o.seedDemo = parser.isSet(flags.seedDemo);
    o.strict = parser.isSet(flags.strict);
    o.newestVersion = parser.value(flags.newestVersion).trimmed();
    o.newestUrl = parser.value(flags.newestUrl).trimmed();
    if (o.newestVersion.isEmpty() != o.newestUrl.isEmpty()) {
        *error = u"--newest-version and --newest-url go together"_s;
        return std::nullopt;
    }
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
    qint64 maxMiB = o.maxUploadBytes / (1024 * 1024);
    qint64 threads = o.threads;
    if (!positive(flags.readTimeout, 3600, &timeout) || !positive(flags.maxUpload, 1024 * 1024, &maxMiB)
        || !positive(flags.threads, 256, &threads))
        return std::nullopt;
    o.readTimeoutSeconds = int(timeout);
    o.maxUploadBytes = maxMiB * 1024 * 1024;
    o.threads = int(threads);
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
