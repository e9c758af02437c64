#include "server/HttpServer.h"

#include "server/ApiService.h"
#include "server/AttemptLimiter.h"
#include "server/GatedServer.h"
#include "server/HostPolicy.h"
#include "server/Logging.h"
#include "server/Pages.h"
#include "server/Passwords.h"
#include "server/Store.h"
#include "server/UploadSession.h"
#include "server/WireRules.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QUrl>

#include <httplib.h>

#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 apiBodyLimit = 1024 * 1024;            // URL-encoded API bodies
constexpr qint64 apiMultipartLimit = 16 * 1024 * 1024;  // multipart API bodies, attachments included
constexpr qint64 pageFormLimit = 16 * 1024;             // the forms of the pages
constexpr qint64 drainBudget = 64 * 1024 * 1024;        // bytes read and dropped before a refusal
constexpr qsizetype fieldLimit = 64 * 1024;
constexpr qint64 ticketLifetime = 3600;
const std::string shortcutPattern = "([A-Za-z0-9][A-Za-z0-9_-]{0,63})";
const std::string invitePattern = "([0-9a-f]{32})";

QString q(const std::string &s)
{
    return QString::fromStdString(s);
}

std::string s(const QString &text)
{
    return text.toStdString();
}

QString header(const httplib::Request &req, const char *name)
{
    return req.has_header(name) ? q(req.get_header_value(name)) : QString();
}

// "module/action" of "/apiv1/module/action", or empty for any other path.
QString operationOf(const httplib::Request &req)
{
    static const QRegularExpression path(u"^/apiv1/([A-Za-z]+/[A-Za-z]+)$"_s);
    return path.match(q(req.path)).captured(1);
}

bool isChunked(const httplib::Request &req)
{
    return header(req, "Transfer-Encoding").contains(u"chunked"_s, Qt::CaseInsensitive);
}

void sendReply(httplib::Response &res, const ApiReply &reply)
{
    if (!reply.ok())
        qCInfo(lcServer).noquote() << "refused" << reply.code << reply.message;
    res.status = reply.httpStatus;
    res.set_content(reply.toJson().toStdString(), "application/json");
}

void sendPage(httplib::Response &res, const QByteArray &html, int status = 200)
{
    res.status = status;
    res.set_content(html.constData(), size_t(html.size()), "text/html; charset=utf-8");
}

// Reads the rest of a body and drops it, so that a refusal reaches a client that is still
// sending; gives up after budget bytes.
bool drain(const httplib::Request &req, const httplib::ContentReader &reader, qint64 budget)
{
    qint64 seen = 0;
    auto count = [&seen, budget](const char *, size_t n) {
        seen += qint64(n);
        return seen <= budget;
    };
    if (req.is_multipart_form_data())
        return reader([](const httplib::MultipartFormData &) { return true; }, count);
    return reader(count);
}

// Reads a body of at most limit bytes. A longer one is read on and dropped (up to the drain
// budget) so that the refusal reaches the client; false when it was too long or did not arrive whole.
bool readBody(const httplib::ContentReader &reader, qint64 limit, QByteArray *body, bool *tooLarge)
{
    *tooLarge = false;
    qint64 seen = 0;
    const bool complete = reader([&](const char *data, size_t n) {
        seen += qint64(n);
        if (seen > limit) {
            *tooLarge = true;
            body->clear();
            return seen <= limit + drainBudget;
        }
        body->append(data, qsizetype(n));
        return true;
    });
    return complete && !*tooLarge;
}

QString contentDisposition(const QString &fileName)
{
    QString ascii;
    for (const QChar c : fileName)
        ascii += (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'"' && c != u'\\') ? c : u'_';
    return u"attachment; filename=\"%1\"; filename*=UTF-8''%2"_s.arg(ascii, QString::fromLatin1(QUrl::toPercentEncoding(fileName)));
}

QString packageContentType(const QString &platform)
{
    return platform == u"ios"_s ? u"application/iphone-package-archive"_s : u"application/vnd.android.package-archive"_s;
}

// The type of an icon a browser can show; nothing for anything else (an Android XML drawable,
// or the byte-swapped PNG variant that iOS build tools write).
const char *imageType(const QByteArray &bytes)
{
    if (bytes.startsWith("\x89PNG\r\n\x1a\n"))
        return bytes.mid(12, 4) == "CgBI" ? nullptr : "image/png";
    if (bytes.startsWith("\xff\xd8\xff"))
        return "image/jpeg";
    if (bytes.startsWith("RIFF") && bytes.mid(8, 4) == "WEBP")
        return "image/webp";
    return nullptr;
}

QByteArray defaultIcon(const QString &name)
{
    const QString letter = name.trimmed().isEmpty() ? u"Q"_s : name.trimmed().left(1).toUpper();
    return u"<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 96 96\"><rect width=\"96\" height=\"96\" rx=\"20\" "
           "fill=\"#1a73e8\"/><text x=\"48\" y=\"62\" font-size=\"44\" text-anchor=\"middle\" fill=\"#fff\" "
           "font-family=\"sans-serif\">%1</text></svg>"_s.arg(Pages::escape(letter))
        .toUtf8();
}

GatedServer::Limits gateLimits(const ServerOptions &options)
{
    GatedServer::Limits limits;
    limits.headerTimeoutMs = options.headerTimeoutSeconds * 1000;
    limits.requestTimeoutMs = options.requestTimeoutSeconds * 1000;
    limits.readTimeoutMs = options.readTimeoutSeconds * 1000;
    limits.maxBodyBytes = options.maxUploadBytes + 1024 * 1024;
    limits.workers = options.threads;
    return limits;
}

// The path for the log: an invitation key is as good as a password for its release.
QString loggedPath(const httplib::Request &req)
{
    static const QRegularExpression invitation(u"/[0-9a-f]{32}(?=/|$)"_s);
    return q(req.path).replace(invitation, u"/…"_s);
}

} // namespace

struct HttpServer::Impl
{
    ServerOptions options;
    Store &store;
    ApiService &api;
    GatedServer server;
    int port = 0;
    QString publicUrl;
    HostPolicy hosts;
    QByteArray ticketSecret;
    AttemptLimiter installPasswordsByAddress { 20, 15 * 60 };
    AttemptLimiter installPasswordsByApp { 10, 15 * 60 };

    Impl(const ServerOptions &o, Store &st, ApiService &a)
        : options(o)
        , store(st)
        , api(a)
        , server(gateLimits(o))
    {
    }

    RequestInfo info(const httplib::Request &req) const { return { q(req.remote_addr) }; }

    // A request for another name (a page whose name was pointed at this address) is answered with
    // nothing of the service.
    bool refuseForeignHost(const httplib::Request &req, httplib::Response &res) const
    {
        const QString refusal = hosts.check(header(req, "Host"));
        if (refusal.isEmpty())
            return false;
        if (req.path.rfind("/apiv1/", 0) == 0)
            sendReply(res, ApiReply::refusal(ApiReply::ForeignHost, refusal, 421));
        else
            sendPage(res, Pages::messagePage(u"地址不符"_s, refusal), 421);
        return true;
    }

    // Checks that need only the request line and headers. A refusal here is sent before the
    // body is read (or, without "Expect: 100-continue", after dropping it).
    std::optional<ApiReply> precheckApi(const httplib::Request &req) const
    {
        const bool upload = req.path == "/apiv1/app/upload";
        const qint64 limit = upload ? options.maxUploadBytes + 1024 * 1024 : apiMultipartLimit;
        if (req.has_header("Content-Length")) {
            const qint64 length = q(req.get_header_value("Content-Length")).toLongLong();
            if (length > limit) {
                if (upload)
                    return ApiReply::refusal(ApiReply::PackageTooLarge,
                                             u"安装包超过 %1 MB 的上限，无法上传"_s.arg(options.maxUploadBytes / 1024 / 1024), 413);
                return ApiReply::refusal(ApiReply::InvalidField, u"请求正文过大（超过 %1 MB）"_s.arg(limit / 1024 / 1024), 413);
            }
        }
        const QString contentType = header(req, "Content-Type");
        if (options.strict) {
            if (isChunked(req) || !req.has_header("Content-Length"))
                return ApiReply::wireFormat(u"请求应带 Content-Length（正文的字节数），不应使用分块传输"_s);
            if (req.target.find('?') != std::string::npos)
                return ApiReply::wireFormat(u"接口地址不应带查询参数（“%1”）"_s.arg(q(req.target).left(200)));
            const QString d = upload ? WireRules::checkUploadContentType(contentType) : WireRules::checkApiContentType(contentType);
            if (!d.isEmpty())
                return ApiReply::wireFormat(d);
        }
        const WireRules::BodyKind kind = WireRules::bodyKind(contentType);
        if (upload && kind != WireRules::BodyKind::Multipart)
            return ApiReply::wireFormat(u"上传安装包须使用 multipart/form-data 格式，实际 Content-Type 为“%1”"_s.arg(
                contentType.isEmpty() ? u"（无）"_s : contentType));
        if (!upload && kind == WireRules::BodyKind::Other)
            return ApiReply::wireFormat(WireRules::checkApiContentType(contentType));
        return std::nullopt;
    }

    void apiPost(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader)
    {
        if (const auto refusal = precheckApi(req)) {
            drain(req, reader, drainBudget);
            return sendReply(res, *refusal);
        }
        const QString moduleAction = operationOf(req);
        if (moduleAction.isEmpty()) {
            drain(req, reader, drainBudget);
            return sendReply(res, ApiReply::refusal(ApiReply::UnknownPath, u"未知的接口“%1”，请检查请求地址"_s.arg(q(req.path).left(100)), 404));
        }
        if (moduleAction == u"app/upload"_s)
            return upload(res, reader);

        FormFields fields;
        if (req.is_multipart_form_data()) {
            if (const auto failure = readApiMultipart(reader, &fields))
                return sendReply(res, *failure);
        } else {
            QByteArray body;
            bool tooLarge = false;
            if (!readBody(reader, apiBodyLimit, &body, &tooLarge))
                return sendReply(res, tooLarge ? ApiReply::refusal(ApiReply::InvalidField, u"请求正文过大（超过 1 MB）"_s, 413)
                                               : ApiReply::refusal(ApiReply::UploadIncomplete, u"请求正文不完整，请重试"_s, 400));
            if (const QString d = WireRules::parseUrlEncoded(body, options.strict, &fields); !d.isEmpty())
                return sendReply(res, ApiReply::wireFormat(d));
        }
        if (options.strict) {
            QString d = WireRules::checkNoDuplicates(fields);
            if (d.isEmpty())
                d = WireRules::checkCommonFields(fields);
            if (d.isEmpty())
                d = WireRules::checkOperationFields(moduleAction, fields);
            if (!d.isEmpty())
                return sendReply(res, ApiReply::wireFormat(d));
        }
        sendReply(res, api.handle(moduleAction, fields, info(req)));
    }

    // The text values of a multipart API call; attachments are read and dropped.
    std::optional<ApiReply> readApiMultipart(const httplib::ContentReader &reader, FormFields *fields)
    {
        WireRules::ApiParts parts;
        std::optional<ApiReply> refusal;
        QString name;
        QByteArray value;
        bool isValue = false;
        qint64 total = 0;
        const bool complete = reader(
            [&](const httplib::MultipartFormData &part) {
                if (isValue)
                    fields->append(name, QString::fromUtf8(value));
                value.clear();
                name = q(part.name);
                isValue = part.filename.empty();
                if (options.strict && !refusal) {
                    if (const QString d = parts.onPart(name, q(part.filename), q(part.content_type)); !d.isEmpty())
                        refusal = ApiReply::wireFormat(d);
                }
                return true;
            },
            [&](const char *data, size_t n) {
                total += qint64(n);
                if (total > apiMultipartLimit)
                    return false;
                if (isValue) {
                    if (value.size() + qint64(n) > fieldLimit) {
                        if (!refusal)
                            refusal = ApiReply::refusal(ApiReply::InvalidField,
                                                        u"字段“%1”过长（超过 %2 KB），请缩短后重试"_s.arg(name.left(40)).arg(fieldLimit / 1024), 413);
                        isValue = false;
                        return true;
                    }
                    value.append(data, qsizetype(n));
                }
                return true;
            });
        if (isValue)
            fields->append(name, QString::fromUtf8(value));
        if (refusal)
            return refusal;
        if (!complete) {
            if (total > apiMultipartLimit)
                return ApiReply::refusal(ApiReply::InvalidField, u"请求正文过大（超过 %1 MB）"_s.arg(apiMultipartLimit / 1024 / 1024), 413);
            return ApiReply::wireFormat(u"multipart 正文不完整或格式错误（分隔线、部分头或结尾的“--”不符）"_s);
        }
        return std::nullopt;
    }

    void upload(httplib::Response &res, const httplib::ContentReader &reader)
    {
        UploadSession::Limits limits;
        limits.maxFieldBytes = fieldLimit;
        limits.maxPackageBytes = options.maxUploadBytes;
        limits.drainBudget = drainBudget;
        UploadSession session(api, ApiService::tempDir(dataDir()), limits, options.strict);
        const bool complete = reader(
            [&](const httplib::MultipartFormData &part) {
                return session.onPart(q(part.name), q(part.filename), q(part.content_type));
            },
            [&](const char *data, size_t n) { return session.onData(data, n); });
        sendReply(res, session.finish(complete));
    }

    QString dataDir() const { return options.dataDir; }

    void apiGet(const httplib::Request &req, httplib::Response &res)
    {
        if (options.strict)
            return sendReply(res, ApiReply::wireFormat(u"接口调用应使用 POST 表单，而不是 %1"_s.arg(q(req.method)), 405));
        const QString moduleAction = operationOf(req);
        if (moduleAction.isEmpty())
            return sendReply(res, ApiReply::refusal(ApiReply::UnknownPath, u"未知的接口“%1”，请检查请求地址"_s.arg(q(req.path).left(100)), 404));
        FormFields fields;
        for (const auto &[name, value] : req.params)
            fields.append(q(name), q(value));
        sendReply(res, api.handle(moduleAction, fields, info(req)));
    }

    // Signs "releaseKey|expiry" so that a download link given after the install password
    // works for an hour without the password travelling again.
    QString ticketFor(const QString &releaseKey, qint64 expiry) const
    {
        const QByteArray message = (releaseKey + u'|' + QString::number(expiry)).toUtf8();
        const QByteArray mac = QMessageAuthenticationCode::hash(message, ticketSecret, QCryptographicHash::Sha256).toHex();
        return QString::number(expiry) + u'-' + QString::fromLatin1(mac);
    }

    bool ticketValid(const QString &releaseKey, const QString &ticket) const
    {
        const qint64 expiry = ticket.section(u'-', 0, 0).toLongLong();
        if (expiry < QDateTime::currentSecsSinceEpoch())
            return false;
        const QByteArray expected = ticketFor(releaseKey, expiry).toLatin1();
        const QByteArray given = ticket.toLatin1();
        if (expected.size() != given.size())
            return false;
        unsigned char diff = 0;
        for (qsizetype i = 0; i < given.size(); ++i)
            diff |= uchar(expected.at(i)) ^ uchar(given.at(i));
        return diff == 0;
    }

    struct Found
    {
        Store::App app;
        Store::Release release;
    };

    std::optional<Found> findApp(const QString &shortcut)
    {
        const auto app = store.appByShortcut(shortcut);
        if (!app)
            return std::nullopt;
        const auto release = store.latestRelease(app->id);
        if (!release)
            return std::nullopt;
        return Found{*app, *release};
    }

    void notFound(httplib::Response &res, const QString &shortcut)
    {
        sendPage(res, Pages::messagePage(u"页面不存在"_s, u"没有网址后缀为“%1”的应用，请检查地址是否正确。"_s.arg(shortcut)), 404);
    }

    // The application behind a page address, when that address may show it: a release for invited
    // testers only under the address with its invitation key, and a key in the address must be
    // right. Otherwise the answer is sent here (404, 403) and nothing returned.
    std::optional<Found> visible(
        httplib::Response &res, const QString &shortcut, const QString &invite, QString *basePath)
    {
        const auto found = findApp(shortcut);
        if (!found) {
            notFound(res, shortcut);
            return std::nullopt;
        }
        const bool invited = !invite.isEmpty() && Passwords::sameText(invite, found->app.inviteKey);
        if ((!invite.isEmpty() && !invited) || (ApiService::isInvitedOnly(found->app) && !invited)) {
            sendPage(res, Pages::invitedOnlyPage(), 403);
            return std::nullopt;
        }
        *basePath = u'/' + found->app.shortcut + (invited ? u'/' + found->app.inviteKey : QString());
        return found;
    }

    enum class Attempt { Granted, Wrong, Blocked };

    // Wrong install passwords are counted per address and per application; either cap refuses
    // every attempt, right or wrong, for a while.
    Attempt tryInstallPassword(const httplib::Request &req, const Store::App &app, const QString &password)
    {
        const QString address = q(req.remote_addr);
        if (installPasswordsByAddress.blockedFor(address) > 0 || installPasswordsByApp.blockedFor(app.appKey) > 0)
            return Attempt::Blocked;
        if (Passwords::sameText(password, app.password))
            return Attempt::Granted;
        installPasswordsByAddress.recordFailure(address);
        installPasswordsByApp.recordFailure(app.appKey);
        return Attempt::Wrong;
    }

    void downloadPage(const httplib::Request &req, httplib::Response &res, const QString &shortcut,
        const QString &invite, std::optional<QString> password)
    {
        QString base;
        const auto found = visible(res, shortcut, invite, &base);
        if (!found)
            return;
        Pages::DownloadView view;
        view.app = found->app;
        view.latest = found->release;
        view.history = store.releases(found->app.id);
        view.basePath = base;
        view.pageUrl = publicUrl + base;
        if (found->app.password.isEmpty()) {
            view.downloadHref = base + u"/download"_s;
        } else if (!password) {
            view.password = Pages::DownloadView::Password::Ask;
        } else {
            switch (tryInstallPassword(req, found->app, *password)) {
            case Attempt::Blocked:
                return sendPage(
                    res, Pages::messagePage(u"尝试次数过多"_s, u"安装密码输错次数过多，请稍后再试。"_s), 429);
            case Attempt::Granted:
                view.password = Pages::DownloadView::Password::Granted;
                view.downloadHref = base + u"/download?ticket="_s
                    + ticketFor(found->release.releaseKey, QDateTime::currentSecsSinceEpoch() + ticketLifetime);
                break;
            case Attempt::Wrong:
                view.password = Pages::DownloadView::Password::Wrong;
                break;
            }
        }
        sendPage(res, Pages::downloadPage(view), view.password == Pages::DownloadView::Password::Wrong ? 403 : 200);
    }

    void download(const httplib::Request &req, httplib::Response &res, const QString &shortcut, const QString &invite)
    {
        QString base;
        const auto found = visible(res, shortcut, invite, &base);
        if (!found)
            return;
        const Store::Release &r = found->release;
        if (!found->app.password.isEmpty() && !ticketValid(r.releaseKey, q(req.get_param_value("ticket"))))
            return sendPage(res, Pages::messagePage(u"需要安装密码"_s, u"请先在下载页输入安装密码，再下载安装包。"_s), 403);
        auto file = std::make_shared<QFile>(options.dataDir + u'/' + r.packagePath);
        if (!file->open(QIODevice::ReadOnly)) {
            qCWarning(lcServer) << "cannot open" << file->fileName();
            return sendPage(res, Pages::messagePage(u"安装包不可用"_s, u"安装包文件已丢失，请联系应用的发布者重新上传。"_s), 410);
        }
        const qint64 size = file->size();
        for (const httplib::Range &range : req.ranges) {
            const bool valid = range.first >= 0 ? (range.first < size && (range.second < 0 || range.second >= range.first))
                                                : (range.second > 0);
            if (!valid) {
                res.status = 416;
                res.set_header("Content-Range", s(u"bytes */%1"_s.arg(size)));
                res.set_content(s(u"请求的范围超出文件大小（%1 字节）"_s.arg(size)), "text/plain; charset=utf-8");
                return;
            }
        }
        res.set_header("Content-Disposition", s(contentDisposition(r.fileName)));
        res.set_header("Accept-Ranges", "bytes");
        res.set_content_provider(size_t(size), s(packageContentType(r.platform)),
                                 [file](size_t offset, size_t length, httplib::DataSink &sink) {
                                     char buffer[64 * 1024];
                                     if (file->pos() != qint64(offset) && !file->seek(qint64(offset)))
                                         return false;
                                     const qint64 n = file->read(buffer, qint64(std::min(length, sizeof buffer)));
                                     if (n <= 0)
                                         return false;
                                     return sink.write(buffer, size_t(n));
                                 });
    }

    void icon(httplib::Response &res, const QString &shortcut)
    {
        const auto found = findApp(shortcut);
        if (!found)
            return notFound(res, shortcut);
        res.set_header("Cache-Control", "max-age=300");
        if (!found->release.iconPath.isEmpty()) {
            QFile file(options.dataDir + u'/' + found->release.iconPath);
            if (file.size() < 8 * 1024 * 1024 && file.open(QIODevice::ReadOnly)) {
                const QByteArray bytes = file.readAll();
                if (const char *type = imageType(bytes)) {
                    res.set_content(bytes.constData(), size_t(bytes.size()), type);
                    return;
                }
            }
        }
        const QByteArray svg = defaultIcon(found->app.name);
        res.set_content(svg.constData(), size_t(svg.size()), "image/svg+xml");
    }

    // A small URL-encoded page form, read leniently.
    std::optional<FormFields> pageForm(const httplib::Request &req, const httplib::ContentReader &reader)
    {
        if (req.is_multipart_form_data()) {
            drain(req, reader, pageFormLimit);
            return std::nullopt;
        }
        QByteArray body;
        bool tooLarge = false;
        if (!readBody(reader, pageFormLimit, &body, &tooLarge))
            return std::nullopt;
        FormFields fields;
        WireRules::parseUrlEncoded(body, false, &fields);
        return fields;
    }

    void resetPassword(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader)
    {
        const auto form = pageForm(req, reader);
        if (!form)
            return sendPage(res, Pages::messagePage(u"请求无效"_s, u"表单内容无法读取，请返回重试。"_s), 400);
        const QString ticket = form->text(u"ticket"_s);
        const QString password = form->text(u"password"_s);
        if (!store.resetTicketUser(ticket, false))
            return sendPage(res, Pages::messagePage(u"链接已失效"_s, u"重置链接已使用或已过期，请在客户端重新找回密码。"_s), 410);
        if (password.size() < 6 || password.size() > 128)
            return sendPage(res, Pages::resetPasswordPage(ticket, u"密码长度应为 6 到 128 位，请重新输入。"_s), 400);
        if (password != form->text(u"confirm"_s))
            return sendPage(res, Pages::resetPasswordPage(ticket, u"两次输入的密码不一致，请重新输入。"_s), 400);
        const auto userId = store.resetPassword(ticket, Passwords::hash(password));
        if (!userId)
            return sendPage(res, Pages::messagePage(u"链接已失效"_s, u"重置链接已使用或已过期，请在客户端重新找回密码。"_s), 410);
        qCInfo(lcServer) << "password reset for user" << *userId
                         << "with a new key and token; their other tickets ended";
        sendPage(res, Pages::messagePage(u"密码已更新"_s, u"新密码已生效，请回到客户端用新密码登录。"_s));
    }

    void setUpConnections()
    {
        // No SO_REUSEPORT: a second server on a port in use must fail, not share it.
        server.set_socket_options([](socket_t sock) {
            int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });

        server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
            if (refuseForeignHost(req, res))
                return httplib::Server::HandlerResponse::Handled;
            if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
                sendReply(res, ApiReply::refusal(ApiReply::Unsupported, u"不支持的请求方法 %1"_s.arg(q(req.method).left(20)), 405));
                return httplib::Server::HandlerResponse::Handled;
            }
            // Without either header the library would read until the peer closes.
            if (req.method == "POST" && !req.has_header("Content-Length") && !isChunked(req)) {
                sendReply(res, ApiReply::wireFormat(u"POST 请求缺少 Content-Length"_s, 411));
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });

        // Refuse before the client sends the body. The library writes this answer without a
        // Content-Length of its own, so it is set here.
        server.set_expect_100_continue_handler([this](const httplib::Request &req, httplib::Response &res) {
            std::optional<ApiReply> refusal;
            if (refuseForeignHost(req, res))
                refusal = ApiReply();
            else if (req.method == "POST" && req.path.rfind("/apiv1/", 0) == 0)
                refusal = precheckApi(req);
            if (!refusal)
                return 100;
            if (res.body.empty())
                sendReply(res, *refusal);
            res.set_header("Content-Length", std::to_string(res.body.size()));
            return res.status;
        });

        setUpErrorsAndLog();
    }

    void setUpErrorsAndLog()
    {
        server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &req, httplib::Response &res) {
            if (!res.body.empty() || res.content_length_ > 0)
                return httplib::Server::HandlerResponse::Unhandled;
            if (req.path.rfind("/apiv1/", 0) == 0) {
                sendReply(res, ApiReply::refusal(ApiReply::UnknownPath, u"请求无法处理（HTTP %1）"_s.arg(res.status), res.status));
            } else {
                const int status = res.status;
                sendPage(res, Pages::messagePage(u"页面不存在"_s, u"找不到这个页面，请检查地址是否正确。"_s), status);
            }
            return httplib::Server::HandlerResponse::Handled;
        }));

        server.set_exception_handler([](const httplib::Request &req, httplib::Response &res, std::exception_ptr error) {
            QString what = u"unknown"_s;
            try {
                std::rethrow_exception(error);
            } catch (const std::exception &e) {
                what = QString::fromLocal8Bit(e.what());
            } catch (...) {
            }
            qCWarning(lcServer).noquote() << "exception in" << loggedPath(req) << what;
            sendReply(res, ApiReply::refusal(ApiReply::Internal, u"服务内部错误，请稍后重试"_s, 500));
        });

        server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
            qCInfo(lcServer).noquote() << q(req.remote_addr) << q(req.method) << loggedPath(req) << res.status;
        });
    }

    using PageHandler
        = std::function<void(const httplib::Request &, httplib::Response &, const QString &, const QString &)>;

    // A page route below both addresses of an application: "/<suffix>" and "/<suffix>/<invitation key>".
    void pageGet(const std::string &below, const PageHandler &handler)
    {
        server.Get("/" + shortcutPattern + below, [handler](const httplib::Request &req, httplib::Response &res) {
            handler(req, res, q(req.matches[1].str()), QString());
        });
        server.Get("/" + shortcutPattern + "/" + invitePattern + below,
            [handler](const httplib::Request &req, httplib::Response &res) {
                handler(req, res, q(req.matches[1].str()), q(req.matches[2].str()));
            });
    }

    void pagePost()
    {
        const auto withPassword
            = [this](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
                  const auto form = pageForm(req, reader);
                  const QString invite = req.matches.size() > 2 ? q(req.matches[2].str()) : QString();
                  downloadPage(req, res, q(req.matches[1].str()), invite, form ? form->text(u"password"_s) : QString());
              };
        server.Post("/" + shortcutPattern, withPassword);
        server.Post("/" + shortcutPattern + "/" + invitePattern, withPassword);
    }

    void setUpRoutes()
    {
        setUpConnections();
        server.Post("/apiv1/.*", [this](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
            apiPost(req, res, reader);
        });
        server.Get("/apiv1/.*", [this](const httplib::Request &req, httplib::Response &res) { apiGet(req, res); });

        server.Get("/", [](const httplib::Request &, httplib::Response &res) { sendPage(res, Pages::homePage()); });
        server.Get("/help",
            [this](const httplib::Request &, httplib::Response &res) { sendPage(res, Pages::helpPage(publicUrl)); });
        server.Get("/about/termofservice", [](const httplib::Request &, httplib::Response &res) { sendPage(res, Pages::termsPage()); });
        server.Get("/user/resetPassword", [this](const httplib::Request &req, httplib::Response &res) {
            const QString ticket = q(req.get_param_value("ticket"));
            if (!store.resetTicketUser(ticket, false))
                return sendPage(res, Pages::messagePage(u"链接已失效"_s, u"重置链接已使用或已过期，请在客户端重新找回密码。"_s), 410);
            sendPage(res, Pages::resetPasswordPage(ticket, QString()));
        });
        server.Post("/user/resetPassword", [this](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
            resetPassword(req, res, reader);
        });
        pageGet("",
            [this](const httplib::Request &req, httplib::Response &res, const QString &shortcut,
                const QString &invite) { downloadPage(req, res, shortcut, invite, std::nullopt); });
        pagePost();
        pageGet("/download",
            [this](const httplib::Request &req, httplib::Response &res, const QString &shortcut,
                const QString &invite) { download(req, res, shortcut, invite); });
        pageGet("/icon",
            [this](const httplib::Request &, httplib::Response &res, const QString &shortcut, const QString &invite) {
                QString base;
                if (visible(res, shortcut, invite, &base))
                    icon(res, shortcut);
            });
        // Every other POST: refused after dropping its body (the library would otherwise read
        // it into memory whole).
        server.Post(".*", [](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
            drain(req, reader, pageFormLimit);
            sendPage(res, Pages::messagePage(u"页面不存在"_s, u"找不到这个页面，请检查地址是否正确。"_s), 404);
        });
    }
};

HttpServer::HttpServer(const ServerOptions &options, Store &store, ApiService &api)
    : d(std::make_unique<Impl>(options, store, api))
{
    QString secret = store.setting(u"download_ticket_secret"_s);
    if (secret.isEmpty()) {
        secret = Passwords::randomKey(64);
        store.setSetting(u"download_ticket_secret"_s, secret);
    }
    d->ticketSecret = secret.toLatin1();
    d->setUpRoutes();
}

HttpServer::~HttpServer() = default;

bool HttpServer::bind(QString *error)
{
    const std::string host = s(d->options.listenHost);
    if (d->options.listenPort == 0) {
        d->port = d->server.bind_to_any_port(host);
    } else {
        d->port = d->server.bind_to_port(host, d->options.listenPort) ? d->options.listenPort : -1;
    }
    if (d->port <= 0) {
        *error = u"cannot listen on %1:%2 (address not available or port in use)"_s.arg(d->options.urlHost()).arg(d->options.listenPort);
        return false;
    }
    if (!d->server.widenBacklog())
        qCWarning(lcServer) << "cannot widen the queue of the listening socket";
    d->publicUrl = d->options.resolvedPublicUrl(quint16(d->port));
    d->hosts = HostPolicy(d->options, d->publicUrl, quint16(d->port));
    d->api.setPublicUrl(d->publicUrl);
    return true;
}

quint16 HttpServer::port() const
{
    return quint16(d->port);
}

QString HttpServer::publicUrl() const
{
    return d->publicUrl;
}

bool HttpServer::run()
{
    return d->server.listen_after_bind();
}

void HttpServer::stop()
{
    d->server.stop();
}
