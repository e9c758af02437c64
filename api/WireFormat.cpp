#include "api/WireFormat.h"

#include "app/Config.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QSysInfo>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace WireFormat {

namespace {

bool isUnreservedForm(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
           || c == '.';
}

QString capitalized(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

QString asciiOnly(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F)
            out.append(c);
    }
    return out;
}

// "12" -> "12.0.0", "6.1.0-18-amd64" -> "6.1.0".
QString threePartVersion(const QString &text)
{
    const QRegularExpression number(u"\\d+"_s);
    QStringList parts;
    auto it = number.globalMatch(text);
    while (it.hasNext() && parts.size() < 3)
        parts.append(QString::number(it.next().captured().toUInt()));
    while (parts.size() < 3)
        parts.append(u"0"_s);
    return parts.join(u'.');
}

QString applicationName()
{
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? u"Quillo"_s : name;
}

QString executableName()
{
    const QString path = QCoreApplication::applicationFilePath();
    const QString name = path.isEmpty() ? QString() : QFileInfo(path).fileName();
    return name.isEmpty() ? u"quillo"_s : name;
}

} // namespace

QByteArray percentEncodeForm(const QString &text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char c : utf8) {
        if (isUnreservedForm(c)) {
            out.append(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.append('%');
            out.append(hex[byte >> 4]);
            out.append(hex[byte & 0xF]);
        }
    }
    return out;
}

QByteArray urlEncodedBody(const QList<Pair> &values)
{
    QByteArray body;
    for (qsizetype i = 0; i < values.size(); ++i) {
        body += percentEncodeForm(values.at(i).first) + '=' + percentEncodeForm(values.at(i).second);
        if (i + 1 < values.size())
            body += '&';
    }
    return body;
}

QString valueText(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return QString();
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Bool:
        return value.toBool() ? u"1"_s : u"0"_s;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return QString::number(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return QString::fromUtf8(QJsonDocument::fromVariant(value).toJson(QJsonDocument::Compact));
    default:
        return value.toString();
    }
}

QString formBoundary()
{
    return u"0xKhTmLbOuNdArY-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString uploadBoundary()
{
    auto *random = QRandomGenerator::system();
    const uint high = random->generate();
    const uint low = random->generate();
    return u"Boundary+"_s + u"%1"_s.arg(high, 8, 16, QChar(u'0')).toUpper() + u"%1"_s.arg(low, 8, 16, QChar(u'0')).toUpper();
}

QByteArray dispositionName(const QString &name)
{
    QByteArray out = name.toUtf8();
    out.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");
    return out;
}

QByteArray contentDisposition(const QString &name, const std::optional<QString> &fileName)
{
    QByteArray line = "Content-Disposition: form-data; name=\"" + dispositionName(name) + '"';
    if (fileName)
        line += "; filename=\"" + dispositionName(*fileName) + '"';
    return line;
}

QString formUserAgent()
{
    return u"%1 %2 (%3; %4 %5; %6)"_s.arg(applicationName(), Config::applicationVersion(),
                                          capitalized(QSysInfo::kernelType()), capitalized(QSysInfo::productType()),
                                          threePartVersion(QSysInfo::productVersion()), QLocale::system().name());
}

QString uploadUserAgent()
{
    return asciiOnly(u"%1/%2 (%3)"_s.arg(executableName(), Config::applicationVersion(), QSysInfo::prettyProductName()));
}

QString acceptLanguage(const QStringList &languages)
{
    static const char *const quality[] = {"1", "0.9", "0.8", "0.7", "0.6", "0.5"};
    QStringList items;
    for (qsizetype i = 0; i < languages.size() && i < 6; ++i)
        items.append(languages.at(i) + u";q="_s + QLatin1StringView(quality[i]));
    return items.join(u", "_s);
}

QStringList preferredLanguages()
{
    QStringList out;
    for (QString language : QLocale::system().uiLanguages()) {
        if (language == u"C"_s || language == u"POSIX"_s)
            language = u"en"_s;
        if (!language.isEmpty() && !out.contains(language))
            out.append(language);
    }
    if (out.isEmpty())
        out.append(u"en"_s);
    return out;
}

QString contentTypeForFileName(const QString &fileName)
{
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    return type.isValid() && !type.isDefault() ? type.name() : u"application/octet-stream"_s;
}

QByteArray mediaType(const QByteArray &contentType)
{
    const qsizetype semicolon = contentType.indexOf(';');
    return (semicolon < 0 ? contentType : contentType.left(semicolon)).trimmed().toLower();
}

QByteArray charsetOf(const QByteArray &contentType)
{
    const QList<QByteArray> parameters = contentType.split(';');
    for (qsizetype i = 1; i < parameters.size(); ++i) {
        const QByteArray parameter = parameters.at(i).trimmed();
        const qsizetype equals = parameter.indexOf('=');
        if (equals < 0 || parameter.left(equals).trimmed().toLower() != "charset")
            continue;
        QByteArray value = parameter.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QByteArray();
}

std::optional<QString> decodeText(const QByteArray &body, const QByteArray &contentType,
                                  const QByteArray &defaultEncoding)
{
    // Decoders are built in place: a moved ICU decoder (GBK and the like) stops reporting errors.
    QByteArray name = charsetOf(contentType);
    if (name.isEmpty() || !QStringDecoder(name.constData()).isValid())
        name = defaultEncoding;
    if (name.isEmpty() || !QStringDecoder(name.constData()).isValid())
        name = "UTF-8";
    // Stateless: a character cut off at the end of the body is an error too, not held back
    // waiting for bytes that will never come. Qt's UTF-16 and UTF-32 decoders do not report a
    // dangling odd byte, so the length is checked for them.
    QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless);
    const std::optional<QStringConverter::Encoding> builtIn = QStringConverter::encodingForName(name.constData());
    if (builtIn) {
        qsizetype unit = 1;
        switch (*builtIn) {
        case QStringConverter::Utf16:
        case QStringConverter::Utf16LE:
        case QStringConverter::Utf16BE:
            unit = 2;
            break;
        case QStringConverter::Utf32:
        case QStringConverter::Utf32LE:
        case QStringConverter::Utf32BE:
            unit = 4;
            break;
        default:
            break;
        }
        if (body.size() % unit != 0)
            return std::nullopt;
    }
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<QVariant> parseJson(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error == QJsonParseError::NoError) {
        if (document.isObject())
            return document.object().toVariantMap();
        return document.array().toVariantList();
    }
    // A lone scalar ("3", "\"x\"", "null"): read it as the one element of an array.
    const QJsonDocument wrapped = QJsonDocument::fromJson('[' + text + ']', &error);
    if (error.error != QJsonParseError::NoError || wrapped.array().size() != 1)
        return std::nullopt;
    return wrapped.array().at(0).toVariant();
}

QString statusText(int status)
{
    switch (status) {
    case 100: return u"continue"_s;
    case 200: return u"no error"_s;
    case 201: return u"created"_s;
    case 202: return u"accepted"_s;
    case 204: return u"no content"_s;
    case 301: return u"moved permanently"_s;
    case 302: return u"found"_s;
    case 303: return u"see other"_s;
    case 304: return u"not modified"_s;
    case 307: return u"temporarily redirected"_s;
    case 400: return u"bad request"_s;
    case 401: return u"unauthorized"_s;
    case 403: return u"forbidden"_s;
    case 404: return u"not found"_s;
    case 405: return u"method not allowed"_s;
    case 407: return u"proxy authentication required"_s;
    case 408: return u"request timed out"_s;
    case 409: return u"conflict"_s;
    case 410: return u"no longer exists"_s;
    case 413: return u"request too large"_s;
    case 415: return u"unsupported media type"_s;
    case 429: return u"too many requests"_s;
    case 500: return u"internal server error"_s;
    case 501: return u"unimplemented"_s;
    case 502: return u"bad gateway"_s;
    case 503: return u"service unavailable"_s;
    case 504: return u"gateway timed out"_s;
    default: break;
    }
    if (status >= 200 && status < 300)
        return u"success"_s;
    if (status >= 300 && status < 400)
        return u"redirected"_s;
    if (status >= 400 && status < 500)
        return u"client error"_s;
    if (status >= 500 && status < 600)
        return u"server error"_s;
    return u"unknown"_s;
}

} // namespace WireFormat
