#include "server/WireRules.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace {

const QString urlEncodedType = u"application/x-www-form-urlencoded; charset=utf-8"_s;

bool isUnreserved(uchar c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
        || c == '.';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Decodes one name or value; strict mode reports the first departure from the client's rule.
QString decodeComponent(const QByteArray &raw, bool strict, QByteArray *out)
{
    out->clear();
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw.at(i);
        if (c == '%') {
            const int hi = i + 1 < raw.size() ? hexValue(raw.at(i + 1)) : -1;
            const int lo = i + 2 < raw.size() ? hexValue(raw.at(i + 2)) : -1;
            if (hi < 0 || lo < 0)
                return u"“%”后应有两位十六进制数字"_s;
            const QByteArray written = raw.mid(i, 3);
            if (strict && written != written.toUpper())
                return u"百分号编码须用大写十六进制，“%1”应写作“%2”"_s.arg(QString::fromLatin1(written),
                                                                         QString::fromLatin1(written.toUpper()));
            const uchar byte = uchar(hi * 16 + lo);
            if (strict && isUnreserved(byte))
                return u"字符“%1”不应编码（写作了“%2”）"_s.arg(QString(QLatin1Char(char(byte))), QString::fromLatin1(written));
            out->append(char(byte));
            i += 2;
        } else if (isUnreserved(uchar(c))) {
            out->append(c);
        } else if (!strict && c == '+') {
            out->append(' ');
        } else if (strict) {
            const QString hex = QString::number(uint(uchar(c)), 16).rightJustified(2, u'0').toUpper();
            const QString shown = uchar(c) < 0x20 || uchar(c) >= 0x7f ? u"\\x"_s + hex : QString(QLatin1Char(c));
            return u"字符“%1”未编码，应写作“%%2”"_s.arg(shown, hex);
        } else {
            out->append(c);
        }
    }
    return {};
}

struct OperationShape
{
    QStringList fields;
    bool allOrNothing = false; // sent whole, never cut short
};

const QHash<QString, QList<OperationShape>> &catalogue()
{
    static const QHash<QString, QList<OperationShape>> table = [] {
        QHash<QString, QList<OperationShape>> t;
        auto add = [&t](const QString &path, const QStringList &fields, bool whole = false) {
            t[path].append(OperationShape{fields, whole});
        };
        add(u"user/logout"_s, {u"uId"_s});
        add(u"user/listAll"_s, {u"page"_s, u"keyword"_s});
        add(u"user/getRecommend"_s, {u"uId"_s});
        add(u"user/newNumber"_s, {u"uId"_s});
        add(u"user/allCount"_s, {u"x"_s});
        add(u"contact/add"_s, {u"uId1"_s, u"uId2"_s});
        add(u"contact/remove"_s, {u"uId1"_s, u"uId2"_s});
        add(u"contact/listAll"_s, {u"uId"_s});
        add(u"user/sendMobileValidCode"_s, {u"mobile"_s, u"token"_s}, true);
        add(u"user/login"_s, {u"mobile"_s, u"validCode"_s}, true);
        add(u"user/login"_s, {u"email"_s, u"password"_s});
        add(u"report/add"_s, {u"content"_s, u"uId"_s, u"phone"_s});
        add(u"app/search"_s, {u"page"_s, u"keyword"_s}, true);
        add(u"app/view"_s, {u"aKey"_s, u"uKey"_s});
        add(u"app/listAllHistoryVersions"_s, {u"aKey"_s, u"page"_s});
        add(u"app/listAllComments"_s, {u"aKey"_s, u"uKey"_s, u"page"_s});
        add(u"app/addComment"_s, {u"aKey"_s, u"uKey"_s, u"content"_s});
        add(u"app/update"_s, {u"aKey"_s, u"column"_s, u"value"_s, u"uKey"_s});
        add(u"app/getAppKeyByShortcut"_s, {u"shortcut"_s});
        add(u"user/listMyPublished"_s, {u"uKey"_s, u"page"_s});
        add(u"user/listFollowedApps"_s, {u"uKey"_s, u"page"_s});
        add(u"user/followApp"_s, {u"uKey"_s, u"aKey"_s});
        add(u"user/unfollowApp"_s, {u"uKey"_s, u"aKey"_s});
        add(u"app/removeScreenshot"_s, {u"iKey"_s, u"aKey"_s});
        add(u"app/syncAppStore"_s, {u"aKey"_s, u"uKey"_s});
        add(u"user/register"_s, {u"email"_s, u"name"_s, u"password"_s});
        add(u"user/forgetPassword"_s, {u"email"_s});
        add(u"app/uploadPrepare"_s, {u"packageName"_s, u"type"_s, u"uKey"_s});
        add(u"config/constants"_s, {});
        add(u"desktop/checkNewestVersion"_s, {u"releaseno"_s, u"type"_s});
        add(u"desktop/launchLog"_s, {u"type"_s});
        add(u"desktop/firstLaunch"_s, {u"type"_s});
        return t;
    }();
    return table;
}

const QStringList commonFields = {u"_uId"_s, u"_api_key"_s, u"_token"_s};

} // namespace

QString WireRules::apiKeyText()
{
    return QString::fromLatin1(apiKey);
}

QStringList WireRules::uploadFieldNames()
{
    return {u"_api_key"_s, u"isPublishToPublic"_s, u"name"_s,  u"password"_s,
            u"publishRange"_s, u"shortcut"_s,      u"uKey"_s, u"updateDescription"_s};
}

QString WireRules::uploadContentTypeFor(const QString &fileName)
{
    return fileName.endsWith(u"ipa"_s) ? u"application/iphone-package-archive"_s
                                       : u"application/vnd.android.package-archive"_s;
}

WireRules::BodyKind WireRules::bodyKind(const QString &contentType)
{
    const QString type = contentType.section(u';', 0, 0).trimmed().toLower();
    if (type == u"application/x-www-form-urlencoded"_s)
        return BodyKind::UrlEncoded;
    if (type == u"multipart/form-data"_s)
        return BodyKind::Multipart;
    return BodyKind::Other;
}

QString WireRules::checkApiContentType(const QString &contentType)
{
    static const QRegularExpression multipart(
        u"^multipart/form-data; charset=utf-8; boundary=0xKhTmLbOuNdArY-"
        "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"_s);
    switch (bodyKind(contentType)) {
    case BodyKind::UrlEncoded:
        if (contentType == urlEncodedType)
            return {};
        return u"Content-Type 应为“%1”，实际为“%2”"_s.arg(urlEncodedType, contentType);
    case BodyKind::Multipart:
        if (multipart.match(contentType).hasMatch())
            return {};
        return u"Content-Type 应为“multipart/form-data; charset=utf-8; boundary=0xKhTmLbOuNdArY-<大写 UUID>”，实际为“%1”"_s
            .arg(contentType);
    case BodyKind::Other:
        break;
    }
    if (contentType.isEmpty())
        return u"缺少请求头 Content-Type，表单应为“%1”或 multipart/form-data"_s.arg(urlEncodedType);
    return u"Content-Type 为“%1”，表单应为“%2”或 multipart/form-data"_s.arg(contentType, urlEncodedType);
}

QString WireRules::checkUploadContentType(const QString &contentType)
{
    static const QRegularExpression form(u"^multipart/form-data; boundary=Boundary\\+[0-9A-F]{16}$"_s);
    if (form.match(contentType).hasMatch())
        return {};
    return u"上传的 Content-Type 应为“multipart/form-data; boundary=Boundary+<16 位大写十六进制>”，实际为“%1”"_s.arg(
        contentType.isEmpty() ? u"（无）"_s : contentType);
}

QString WireRules::parseUrlEncoded(const QByteArray &body, bool strict, FormFields *fields)
{
    *fields = FormFields();
    if (body.isEmpty())
        return {};
    const QList<QByteArray> pairs = body.split('&');
    int index = 0;
    for (const QByteArray &pair : pairs) {
        ++index;
        if (pair.isEmpty()) {
            if (strict)
                return u"表单正文第 %1 项为空（多余的“&”）"_s.arg(index);
            continue;
        }
        const qsizetype eq = pair.indexOf('=');
        if (eq < 0 && strict)
            return u"表单正文第 %1 项缺少“=”"_s.arg(index);
        const QByteArray rawName = eq < 0 ? pair : pair.left(eq);
        const QByteArray rawValue = eq < 0 ? QByteArray() : pair.mid(eq + 1);
        if (strict && rawValue.contains('='))
            return u"表单正文第 %1 项的值含未编码的“=”，应写作“%3D”"_s.arg(index);
        QByteArray name;
        QByteArray value;
        QString problem = decodeComponent(rawName, strict, &name);
        if (problem.isEmpty())
            problem = decodeComponent(rawValue, strict, &value);
        if (!problem.isEmpty())
            return u"表单正文第 %1 项（%2）编码不符：%3"_s.arg(index).arg(QString::fromLatin1(rawName.left(40)), problem);
        if (strict && name.isEmpty())
            return u"表单正文第 %1 项缺少字段名"_s.arg(index);
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decodedName = utf8.decode(name);
        const QString decodedValue = utf8.decode(value);
        if (strict && utf8.hasError())
            return u"表单正文第 %1 项（%2）不是有效的 UTF-8"_s.arg(index).arg(decodedName);
        fields->append(decodedName, decodedValue);
    }
    return {};
}

QString WireRules::checkCommonFields(const FormFields &fields)
{
    for (const QString &name : commonFields) {
        if (!fields.has(name))
            return u"缺少公共字段“%1”（每次调用都须带上 _uId、_api_key 和 _token，未登录时值为空）"_s.arg(name);
    }
    return {};
}

QString WireRules::checkNoDuplicates(const FormFields &fields)
{
    QSet<QString> seen;
    for (const auto &[name, value] : fields.items()) {
        if (seen.contains(name))
            return u"字段“%1”出现了不止一次"_s.arg(name);
        seen.insert(name);
    }
    return {};
}

bool WireRules::isCatalogued(const QString &moduleAction)
{
    return catalogue().contains(moduleAction);
}

QString WireRules::checkOperationFields(const QString &moduleAction, const FormFields &fields)
{
    const auto it = catalogue().constFind(moduleAction);
    if (it == catalogue().constEnd())
        return {};
    QSet<QString> sent;
    for (const auto &item : fields.items()) {
        if (!commonFields.contains(item.first))
            sent.insert(item.first);
    }
    QStringList expected;
    for (const OperationShape &shape : *it) {
        const int first = shape.allOrNothing ? int(shape.fields.size()) : 0;
        for (int n = first; n <= shape.fields.size(); ++n) {
            const QStringList prefix = shape.fields.mid(0, n);
            if (sent == QSet<QString>(prefix.begin(), prefix.end()))
                return {};
        }
        expected.append(shape.fields.isEmpty() ? u"（无）"_s : shape.fields.join(u"、"_s));
    }
    QStringList names = sent.values();
    names.sort();
    return u"“%1”的字段应为 %2（缺少的参数及其后的参数一并省略），实际为 %3"_s.arg(
        moduleAction, expected.join(u" 或 "_s), names.isEmpty() ? u"（无）"_s : names.join(u"、"_s));
}

QString WireRules::checkHost(const QString &hostHeader, const QString &listenHost, quint16 port, bool anyHost)
{
    const QString bracketed = listenHost.contains(u':') ? u'[' + listenHost + u']' : listenHost;
    const QString expected = port == 80 ? bracketed : bracketed + u':' + QString::number(port);
    if (hostHeader.isEmpty())
        return u"缺少请求头 Host，应为“%1”"_s.arg(expected);
    QString host = hostHeader;
    QString hostPort = u"80"_s;
    const qsizetype colon = host.lastIndexOf(u':');
    if (colon >= 0 && colon > host.lastIndexOf(u']')) {
        hostPort = host.mid(colon + 1);
        host.truncate(colon);
    }
    const bool portMatches = hostPort == QString::number(port) && !(port == 80 && colon >= 0 && hostPort.isEmpty());
    const bool nameMatches = anyHost || host.compare(bracketed, Qt::CaseInsensitive) == 0
        || host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0;
    if (portMatches && nameMatches)
        return {};
    return u"请求头 Host 为“%1”，与服务地址“%2”不符"_s.arg(hostHeader, expected);
}

QString WireRules::UploadParts::onPart(const QString &name, const QString &fileName, const QString &contentType)
{
    static const QStringList expected = uploadFieldNames();
    const int index = m_index++;
    m_inFile = name == u"file"_s && !fileName.isEmpty();
    if (m_inFile) {
        if (m_sawFile)
            return u"文件部分“file”出现了不止一次"_s;
        m_sawFile = true;
    }
    if (!m_strict)
        return {};
    if (index < expected.size()) {
        if (name != expected.at(index))
            return u"第 %1 个部分应为字段“%2”，实际为“%3”（八个文本字段须按名称升序排在文件部分之前）"_s.arg(index + 1).arg(
                expected.at(index), name);
        if (!fileName.isEmpty() || !contentType.isEmpty())
            return u"文本字段“%1”不应带文件名或 Content-Type"_s.arg(name);
        return {};
    }
    if (index == expected.size()) {
        if (name != u"file"_s)
            return u"第 9 个部分应为文件部分“file”，实际为“%1”"_s.arg(name);
        if (fileName.isEmpty())
            return u"文件部分“file”缺少文件名（filename）"_s;
        const QString type = uploadContentTypeFor(fileName);
        if (contentType != type)
            return u"文件“%1”的 Content-Type 应为“%2”，实际为“%3”"_s.arg(fileName, type,
                                                                      contentType.isEmpty() ? u"（无）"_s : contentType);
        return {};
    }
    return u"文件部分之后不应再有其他部分（“%1”）"_s.arg(name);
}

QString WireRules::UploadParts::finish() const
{
    if (m_strict && m_index < uploadFieldNames().size())
        return u"上传只带了 %1 个部分，应为八个文本字段和文件部分“file”"_s.arg(m_index);
    if (!m_sawFile)
        return u"上传缺少文件部分“file”"_s;
    return {};
}

QString WireRules::ApiParts::onPart(const QString &name, const QString &fileName, const QString &contentType)
{
    const bool isFile = !fileName.isEmpty();
    if (!isFile) {
        if (!contentType.isEmpty())
            return u"字段“%1”不应带 Content-Type"_s.arg(name);
        if (m_stage > 0)
            return u"字段“%1”应排在所有文件部分之前"_s.arg(name);
        return {};
    }
    if (contentType.isEmpty())
        return u"文件部分“%1”缺少 Content-Type"_s.arg(name);
    if (name == u"Filedata"_s) {
        if (m_stage > 0)
            return u"文件部分“Filedata”至多一个，且应排在图片之前"_s;
        m_stage = 1;
        return {};
    }
    if (name == u"image[]"_s) {
        if (fileName != u"image.jpg"_s || contentType != u"image/jpeg"_s)
            return u"图片部分应为 filename=\"image.jpg\"、Content-Type 为 image/jpeg"_s;
        m_stage = 2;
        return {};
    }
    return u"未知的文件部分“%1”（只接受“Filedata”和“image[]”）"_s.arg(name);
}
