#include "api/CloudClientRequest.h"

#include "api/FormRequest.h"
#include "api/Logging.h"
#include "api/WireFormat.h"
#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/LogMask.h"
#include "app/QSLoginModel.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>

using namespace Qt::StringLiterals;

namespace {

std::chrono::milliseconds g_defaultTimeout{60000};

const QString kEmptyReplyMessage = u"服务器返回为空内容"_s;
const QString kBadFormatMessage = u"服务器返回数据格式错误"_s;
const QString kNetworkErrorMessage = u"网络请求错误，请稍后重试"_s;

// The envelope's "code": a number's value (fraction truncated) or a text's leading decimal
// integer, saturated to 32 bits; absent, boolean or anything else reads as 0.
int envelopeCode(const QJsonValue &code)
{
    if (code.isDouble() || code.isString())
        return DataCheck::intValue(code.toVariant());
    return 0;
}

} // namespace

CloudClientRequest::CloudClientRequest(QObject *parent) : QObject(parent) {}

CloudClientRequest::~CloudClientRequest()
{
    // Each FormRequest cancels its exchange and detaches as it goes.
    m_calls.clear();
}

void CloudClientRequest::setDefaultTimeout(std::chrono::milliseconds timeout)
{
    g_defaultTimeout = timeout;
}

std::chrono::milliseconds CloudClientRequest::defaultTimeout()
{
    return g_defaultTimeout;
}

QVariant CloudClientRequest::urlEncodeValue(const QVariant &value)
{
    if (!DataCheck::isValidString(value))
        return value;
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = value.toString().toUtf8();
    QString out;
    out.reserve(utf8.size() * 3);
    for (const char c : utf8) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
                          || c == '_' || c == '.' || c == '~';
        if (keep) {
            out.append(QLatin1Char(c));
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.append(u'%');
            out.append(QLatin1Char(hex[byte >> 4]));
            out.append(QLatin1Char(hex[byte & 0xF]));
        }
    }
    return out;
}

QVariantMap CloudClientRequest::errorRecord(const QString &code, const QVariant &message)
{
    QVariantMap record{{u"code"_s, code}};
    if (message.isValid())
        record.insert(u"message"_s, message);
    return record;
}

QVariantMap CloudClientRequest::networkError()
{
    return errorRecord(kNetworkErrorCode, kNetworkErrorMessage);
}

CloudClientRequest::Outcome CloudClientRequest::decodeReply(const std::optional<QString> &text)
{
    if (!text)
        return {false, errorRecord(kEmptyReplyCode, kEmptyReplyMessage)};
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty())
        return {false, errorRecord(kEmptyReplyCode, kEmptyReplyMessage)};
    if (!trimmed.startsWith(u'{') && !trimmed.startsWith(u'['))
        return {false, errorRecord(kBadFormatCode, kBadFormatMessage)};

    const QJsonDocument document = QJsonDocument::fromJson(trimmed.toUtf8());
    // A body that is not valid JSON has no envelope: its code reads as 0 and there is no data.
    // So does a JSON array: it has no members, and the call succeeds without data.
    if (!document.isObject())
        return {true, QVariant()};
    const QJsonObject envelope = document.object();
    const int code = envelopeCode(envelope.value(u"code"_s));
    if (code <= 0) {
        const QJsonValue data = envelope.value(u"data"_s);
        return {true, data.isUndefined() ? QVariant() : data.toVariant()};
    }
    const QJsonValue message = envelope.value(u"message"_s);
    const bool hasMessage = !message.isUndefined() && !message.isNull();
    return {false, errorRecord(QString::number(code), hasMessage ? message.toVariant() : QVariant()), true};
}

namespace {

// A call's cookies, for the service's domain, valid for a while.
QList<HttpCookie> callCookies(const QVariantMap &cookies, const QUrl &url)
{
    const QDateTime expiry = QDateTime::currentDateTimeUtc().addSecs(CloudClientRequest::kCookieLifetimeSeconds);
    QList<HttpCookie> list;
    for (auto it = cookies.cbegin(); it != cookies.cend(); ++it)
        list.append(HttpCookie{it.key(), WireFormat::valueText(CloudClientRequest::urlEncodeValue(it.value())),
                               u"."_s + url.host(), u"/"_s, expiry});
    return list;
}

} // namespace

void CloudClientRequest::callMethodWithMod(const QString &mod, const QVariant &params, const QVariant &postParams,
                                           const QVariant &files, const QVariant &cookies, const QVariant &header,
                                           QObject *delegate, const QString &selector, const QString &errorSelector)
{
    const QString endpoint = Config::apiBase() + u'/' + mod;
    const QUrl url(endpoint);
    qCDebug(lcApi).noquote() << "request ----->" << endpoint;
    qCDebug(lcApi) << "params:" << LogMask::masked(params);

    const bool isForm = postParams.isValid() && postParams.canConvert<QVariantMap>();
    QVariantMap fields = isForm ? postParams.toMap() : QVariantMap();
    const QVariant uid = QSLoginModel::currentUid();
    fields.insert(u"_uId"_s, DataCheck::isValidString(uid) ? uid.toString() : QString());
    fields.insert(u"_api_key"_s, kApiKey);
    const QVariant token = QSLoginModel::currentUserInfo().toMap().value(u"u_api_token"_s);
    fields.insert(u"_token"_s, DataCheck::isValidString(token) ? token.toString() : QString());
    // The log shows which fields went out, but not the secrets among them.
    LogMask::rememberSecrets(fields);
    qCDebug(lcApi) << "fields:" << LogMask::masked(fields);

    const QVariantMap userInfo{{u"delegate"_s, QVariant::fromValue(QPointer<QObject>(delegate))},
                               {u"selector"_s, selector},
                               {u"errorSelector"_s, errorSelector}};

    auto request = std::make_unique<FormRequest>(url);
    if (isForm) {
        for (auto it = fields.cbegin(); it != fields.cend(); ++it)
            request->setPostValue(it.key(), WireFormat::valueText(it.value()));
        for (const QString &path : files.toStringList()) {
            if (QFileInfo(path).isFile())
                request->setFile(path, u"Filedata"_s);
        }
        for (const QByteArray &jpeg : std::as_const(m_images))
            request->addData(jpeg, u"image.jpg"_s, u"image/jpeg"_s, u"image[]"_s);
    }
    request->setUserInfo(userInfo);
    request->setAcceptsGzip(true);
    request->setDefaultResponseEncoding("UTF-8");
    request->setTimeout(g_defaultTimeout);

    if (const QList<HttpCookie> list = callCookies(cookies.toMap(), url); !list.isEmpty())
        request->setCookies(list);

    request->setHeader(u"Host"_s, Config::serviceHost());
    const QVariantMap headerMap = header.toMap();
    for (auto it = headerMap.cbegin(); it != headerMap.cend(); ++it)
        request->setHeader(it.key(), WireFormat::valueText(it.value()));

    connect(request.get(), &FormRequest::finished, this, &CloudClientRequest::requestFinished);
    connect(request.get(), &FormRequest::failed, this, &CloudClientRequest::requestFailed);
    m_request = request.get();
    m_calls.push_back(std::move(request));
    m_request->start();
}

std::unique_ptr<FormRequest> CloudClientRequest::takeCall(FormRequest *request)
{
    if (m_request == request)
        m_request = nullptr;
    for (auto it = m_calls.begin(); it != m_calls.end(); ++it) {
        if (it->get() == request) {
            std::unique_ptr<FormRequest> owned = std::move(*it);
            m_calls.erase(it);
            return owned;
        }
    }
    return nullptr;
}

void CloudClientRequest::requestFinished(FormRequest *request)
{
    std::unique_ptr<FormRequest> call = takeCall(request);
    const QVariantMap userInfo = request->userInfo();
    const std::optional<QString> text = request->responseString();
    const Outcome outcome = decodeReply(text);
    if (outcome.success)
        LogMask::rememberSecrets(outcome.payload);
    qCDebug(lcApi).noquote() << u"response -----> \n%1"_s.arg(LogMask::maskedText(text.value_or(QString())));
    if (!outcome.success)
        m_lastFailure = {TransferFailure::None, request->responseStatusCode(), outcome.refusal};
    // The request is still emitting; it goes once control is back in the event loop.
    if (call)
        call.release()->deleteLater();
    report(outcome.success ? m_finishSelector : m_finishErrorSelector, userInfo, outcome.payload);
}

void CloudClientRequest::requestFailed(FormRequest *request)
{
    std::unique_ptr<FormRequest> call = takeCall(request);
    const QVariantMap userInfo = request->userInfo();
    qCDebug(lcApi).noquote() << "request failed:" << LogMask::maskedText(request->url().toString())
                              << LogMask::maskedText(request->errorString());
    m_lastFailure = {request->failure(), 0, false};
    if (call)
        call.release()->deleteLater();
    report(m_finishErrorSelector, userInfo, networkError());
}

// Must be the last thing its callers do: the delegate may destroy this envelope.
void CloudClientRequest::report(const QString &selector, const QVariantMap &userInfo, const QVariant &payload)
{
    QObject *delegate = m_delegate.data();
    if (!delegate)
        return;
    const QByteArray name = selector.section(u':', 0, 0).toUtf8();
    const QByteArray signature = QMetaObject::normalizedSignature(QByteArray(name + "(QVariantMap,QVariant)").constData());
    const int index = delegate->metaObject()->indexOfMethod(signature.constData());
    if (index < 0) {
        qCWarning(lcApi) << "the envelope's delegate has no operation" << signature;
        return;
    }
    delegate->metaObject()->method(index).invoke(delegate, Qt::DirectConnection, Q_ARG(QVariantMap, userInfo),
                                                 Q_ARG(QVariant, payload));
}
