#include "server/Pages.h"

#include <QDateTime>
#include <QLocale>

#include <qrencode.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const char *const style = R"css(
body{font-family:"WenQuanYi Micro Hei","Noto Sans CJK SC","PingFang SC",sans-serif;margin:0;background:#f4f6f8;color:#222}
main{max-width:42rem;margin:2rem auto;background:#fff;padding:1.5rem 2rem;border-radius:8px;box-shadow:0 1px 3px #0002}
header.app{display:flex;gap:1rem;align-items:center}
header.app img{width:96px;height:96px;border-radius:20px;border:1px solid #ddd}
h1{margin:.2rem 0;font-size:1.6rem}
dl{display:grid;grid-template-columns:6rem 1fr;gap:.3rem 1rem}
dt{color:#666}
dd{margin:0}
a.button,button{display:inline-block;background:#1a73e8;color:#fff;padding:.6rem 1.4rem;border-radius:6px;text-decoration:none;border:0;font-size:1rem}
.notes{white-space:pre-wrap;background:#f8f8f8;padding:.8rem;border-radius:6px}
.error{color:#c62828}
figure{margin:1.5rem 0 0;text-align:center}
figure svg{width:180px;height:180px}
nav{margin-top:2rem;font-size:.9rem;color:#666}
nav a{color:#1a73e8}
table{border-collapse:collapse;width:100%}
td,th{text-align:left;padding:.3rem;border-bottom:1px solid #eee}
)css";

QByteArray document(const QString &title, const QString &body)
{
    const QString html = u"<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
                         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                         "<title>%1</title><style>%2</style></head>\n<body><main>\n%3\n"
                         "<nav><a href=\"/\">Quillo</a> · <a href=\"/help\">帮助</a> · "
                         "<a href=\"/about/termofservice\">服务条款</a></nav>\n</main></body></html>\n"_s
                             .arg(Pages::escape(title), QString::fromLatin1(style), body);
    return html.toUtf8();
}

QString platformName(const QString &platform)
{
    return platform == u"ios"_s ? u"iOS"_s : u"Android"_s;
}

} // namespace

QString Pages::escape(const QString &text)
{
    return text.toHtmlEscaped();
}

QString Pages::qrSvg(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    std::unique_ptr<QRcode, void (*)(QRcode *)> code(QRcode_encodeString8bit(utf8.constData(), 0, QR_ECLEVEL_M), QRcode_free);
    if (!code)
        return {};
    const int width = code->width;
    const int quiet = 4;
    QString path;
    path.reserve(width * width * 4);
    for (int y = 0; y < width; ++y) {
        for (int x = 0; x < width; ++x) {
            if (code->data[y * width + x] & 1)
                path += u"M%1 %2h1v1h-1z"_s.arg(x + quiet).arg(y + quiet);
        }
    }
    const int size = width + 2 * quiet;
    return u"<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %1 %1\" shape-rendering=\"crispEdges\" role=\"img\" "
           "aria-label=\"%2\"><rect width=\"%1\" height=\"%1\" fill=\"#fff\"/><path fill=\"#000\" d=\"%3\"/></svg>"_s
        .arg(size)
        .arg(escape(text), path);
}

QString Pages::formatSize(qint64 bytes)
{
    return QString::asprintf("%.2fMB", double(bytes) / 1024.0 / 1024.0);
}

QString Pages::formatDate(qint64 secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch).toLocalTime().toString(u"yyyy年MM月dd日 HH:mm"_s);
}

QByteArray Pages::downloadPage(const DownloadView &view)
{
    const Store::App &app = view.app;
    const Store::Release &r = view.latest;
    const QString base = escape(view.basePath);
    QString body;
    body += u"<header class=\"app\"><img src=\"%1/icon\" alt=\"%2 图标\"><div><h1>%2</h1><div>%3 · %4</div></div></header>\n"_s.arg(
        base, escape(app.name), platformName(r.platform), escape(r.packageName));
    body += u"<dl><dt>版本</dt><dd>%1 (%2)</dd><dt>大小</dt><dd>%3</dd><dt>更新时间</dt><dd>%4</dd></dl>\n"_s.arg(
        escape(r.version), escape(r.build), formatSize(r.size), formatDate(r.createdAt));
    body += u"<h2>更新说明</h2>\n<div class=\"notes\">%1</div>\n"_s.arg(
        r.description.trimmed().isEmpty() ? u"（无）"_s : escape(r.description));
    switch (view.password) {
    case DownloadView::Password::Wrong:
        body += u"<p class=\"error\">安装密码不正确，请重新输入。</p>\n"_s;
        [[fallthrough]];
    case DownloadView::Password::Ask:
        body += u"<form method=\"post\" action=\"%1\"><p>此应用需要安装密码。</p>"
                "<p><label>安装密码 <input type=\"password\" name=\"password\" required autofocus></label> "
                "<button type=\"submit\">确定</button></p></form>\n"_s.arg(base);
        break;
    case DownloadView::Password::None:
    case DownloadView::Password::Granted:
        body += u"<p><a class=\"button\" href=\"%1\" download=\"%2\">下载安装包</a></p>\n"_s.arg(escape(view.downloadHref),
                                                                                              escape(r.fileName));
        break;
    }
    const QString qr = qrSvg(view.pageUrl);
    if (!qr.isEmpty())
        body += u"<figure>%1<figcaption>用手机扫描二维码打开本页<br><small>%2</small></figcaption></figure>\n"_s.arg(
            qr, escape(view.pageUrl));
    if (view.history.size() > 1) {
        body += u"<h2>历史版本</h2>\n<table><tr><th>版本</th><th>大小</th><th>时间</th></tr>\n"_s;
        for (const Store::Release &old : view.history) {
            body += u"<tr><td>%1 (%2)</td><td>%3</td><td>%4</td></tr>\n"_s.arg(escape(old.version), escape(old.build),
                                                                         formatSize(old.size), formatDate(old.createdAt));
        }
        body += u"</table>\n"_s;
    }
    return document(app.name + u" - Quillo"_s, body);
}

QByteArray Pages::homePage()
{
    return document(u"Quillo"_s,
                    u"<h1>Quillo</h1><p>这是 Quillo 服务的本地替身，供开发、演示和测试使用。"
                    "用 Quillo 桌面客户端或命令行上传 .ipa 或 .apk 后，每个应用都会得到一个下载页，"
                    "地址为本服务地址后加上网址后缀。</p>"_s);
}

QByteArray Pages::helpPage(const QString &serviceUrl)
{
    const QString base = escape(serviceUrl);
    return document(u"帮助 - Quillo"_s,
        u"<h1>帮助</h1>\n"
        "<h2>开始使用</h2><ol><li>在客户端注册账号并登录（本地服务启动时加上 <code>--seed-demo</code> "
        "会创建演示账号，并在启动时打印邮箱和密码）。</li>"
        "<li>把 .ipa 或 .apk 拖到上传窗口，或在最近构建列表中选择一个归档。</li>"
        "<li>确认应用信息和发布选项（网址后缀、安装密码、更新说明），点击上传。</li>"
        "<li>上传完成后打开下载页 <code>%1/&lt;网址后缀&gt;</code>，用手机扫描页面上的二维码即可安装。</li></ol>\n"
        "<h2>常见问题</h2><dl><dt>网址后缀</"
        "dt><dd>只能由字母、数字、“-”和“_”组成，每个应用独有；同一应用再次上传时沿用原来的后缀。</dd>"
        "<dt>安装密码</dt><dd>设置后，下载页会先要求输入密码才显示下载链接。</dd>"
        "<dt>忘记密码</dt><dd>在登录界面点“找回密码”，本地服务会把重置邮件写入数据目录的 outbox "
        "文件夹并记入日志。</dd></dl>\n"
        "<h2>接口</h2><p>接口地址为 <code>%1/apiv1/&lt;模块&gt;/&lt;操作&gt;</code>，以表单 POST 调用，"
        "返回 JSON：<code>{\"code\", \"message\", \"data\"}</code>，code 为 0 表示成功。</p>\n"_s.arg(base));
}

QByteArray Pages::termsPage()
{
    return document(u"服务条款 - Quillo"_s,
                    u"<h1>Quillo 服务条款</h1>\n"
                    "<ol><li>Quillo 用于分发测试版应用，请只上传您有权分发的应用。</li>"
                    "<li>请勿上传含有恶意代码、侵犯他人权益或违反法律法规的内容。</li>"
                    "<li>下载页的地址和安装密码由您设置，请妥善保管，不要向无关人员透露。</li>"
                    "<li>本地替身服务只在本机运行，数据保存在启动时指定的数据目录中，不提供备份。</li>"
                    "<li>使用本服务即表示您同意以上条款。</li></ol>\n"_s);
}

QByteArray Pages::messagePage(const QString &title, const QString &message)
{
    return document(title + u" - Quillo"_s, u"<h1>%1</h1><p>%2</p>"_s.arg(escape(title), escape(message)));
}

QByteArray Pages::invitedOnlyPage()
{
    return messagePage(u"仅受邀测试者可下载"_s, u"此应用仅供受邀测试者下载，请使用发布者发给您的邀请链接打开。"_s);
}

QByteArray Pages::resetPasswordPage(const QString &ticket, const QString &message)
{
    QString body = u"<h1>设置新密码</h1>\n"_s;
    if (!message.isEmpty())
        body += u"<p class=\"error\">%1</p>\n"_s.arg(escape(message));
    body += u"<form method=\"post\" action=\"/user/resetPassword\"><input type=\"hidden\" name=\"ticket\" value=\"%1\">"
            "<p><label>新密码 <input type=\"password\" name=\"password\" minlength=\"6\" required></label></p>"
            "<p><label>确认新密码 <input type=\"password\" name=\"confirm\" minlength=\"6\" required></label></p>"
            "<p><button type=\"submit\">保存</button></p></form>\n"_s.arg(escape(ticket));
    return document(u"设置新密码 - Quillo"_s, body);
}
