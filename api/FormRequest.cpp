#include "api/FormRequest.h"

#include "api/Logging.h"
#include "api/WireFormat.h"
#include "app/LogMask.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

template <typename List>
qsizetype indexOfName(const List &list, const QString &name, Qt::CaseSensitivity cs)
{
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list.at(i).first.compare(name, cs) == 0)
            return i;
    }
    return -1;
}

} // namespace

FormRequest::FormRequest(const QUrl &url, QObject *parent) : QObject(parent), m_url(url) {}

FormRequest::~FormRequest()
{
    cancel();
}

void FormRequest::setPostValue(const QString &name, const QString &value)
{
    const qsizetype i = indexOfName(m_values, name, Qt::CaseSensitive);
    if (i >= 0)
        m_values[i].second = value;
    else
        m_values.append({name, value});
}

void FormRequest::setFile(const QString &path, const QString &field)
{
    const QString fileName = QFileInfo(path).fileName();
    FilePart part{field, fileName, WireFormat::contentTypeForFileName(fileName), path, QByteArray()};
    for (FilePart &existing : m_files) {
        if (existing.field == field && !existing.path.isEmpty()) {
            existing = part;
            return;
        }
    }
    m_files.append(part);
}

void FormRequest::addData(const QByteArray &bytes, const QString &fileName, const QString &contentType,
                          const QString &field)
{
    m_files.append(FilePart{field, fileName, contentType, QString(), bytes});
}

void FormRequest::setHeader(const QString &name, const QString &value)
{
    const qsizetype i = indexOfName(m_headers, name, Qt::CaseInsensitive);
    if (i >= 0)
        m_headers[i] = {name, value};
    else
        m_headers.append({name, value});
}

std::shared_ptr<BodyLayout> FormRequest::buildMultipart(const QByteArray &boundary, QString *error) const
{
    auto body = std::make_shared<BodyLayout>();
    body->append("--" + boundary + "\r\n");
    bool first = true;
    auto separate = [&] {
        if (!first)
            body->append("\r\n--" + boundary + "\r\n");
        first = false;
    };
    for (const auto &[name, value] : m_values) {
        separate();
        body->append(WireFormat::contentDisposition(name, std::nullopt) + "\r\n\r\n" + value.toUtf8());
    }
    for (const FilePart &part : m_files) {
        std::shared_ptr<FileHandle> file;
        qint64 size = 0;
        if (!part.path.isEmpty()) {
            file = FileHandle::open(part.path, &size);
            if (!file) {
                *error = u"The attached file cannot be read: %1"_s.arg(part.path);
                return nullptr;
            }
        }
        separate();
        body->append(WireFormat::contentDisposition(part.field, part.fileName) + "\r\nContent-Type: "
                     + part.contentType.toUtf8() + "\r\n\r\n");
        if (file)
            body->appendFile(file, size);
        else
            body->append(part.bytes);
    }
    body->append("\r\n--" + boundary + "--\r\n");
    return body;
}

void FormRequest::start()
{
    if (m_started)
        return;
    m_started = true;
    CurlEngine *engine = CurlEngine::instance();
    if (!engine) {
        failSoon(u"The network thread is not running"_s);
        return;
    }

    TransferPlan plan;
    plan.kind = TransferPlan::Kind::Form;
    plan.url = m_url.toEncoded();
    plan.post = !m_values.isEmpty() || !m_files.isEmpty();
    for (const auto &[name, value] : std::as_const(m_headers))
        plan.headers.append(std::pair<QByteArray, QByteArray>(name.toUtf8(), value.toUtf8()));
    if (indexOfName(m_headers, u"User-Agent"_s, Qt::CaseInsensitive) < 0)
        plan.headers.append(std::pair<QByteArray, QByteArray>("User-Agent", WireFormat::formUserAgent().toUtf8()));
    if (m_acceptsGzip && indexOfName(m_headers, u"Accept-Encoding"_s, Qt::CaseInsensitive) < 0)
        plan.headers.append(std::pair<QByteArray, QByteArray>("Accept-Encoding", "gzip"));
    if (plan.post) {
        std::shared_ptr<BodyLayout> body;
        QByteArray contentType;
        if (m_files.isEmpty()) {
            body = std::make_shared<BodyLayout>();
            body->append(WireFormat::urlEncodedBody(m_values));
            contentType = "application/x-www-form-urlencoded; charset=utf-8";
        } else {
            const QByteArray boundary = WireFormat::formBoundary().toUtf8();
            QString error;
            body = buildMultipart(boundary, &error);
            if (!body) {
                failSoon(error);
                return;
            }
            contentType = "multipart/form-data; charset=utf-8; boundary=" + boundary;
        }
        plan.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", contentType));
        plan.headers.append(std::pair<QByteArray, QByteArray>("Content-Length", QByteArray::number(body->size())));
        plan.body = std::move(body);
    }
    plan.cookies = m_cookies;
    plan.followRedirects = true;
    plan.timeout = m_timeout;
    plan.extendedUntilBodySent = true;
    plan.maxReplyBytes = kMaxReplyBytes;
    m_transferId = engine->submit(std::move(plan), this);
}

void FormRequest::cancel()
{
    m_detached = true;
    if (m_transferId != 0) {
        if (CurlEngine *engine = CurlEngine::instance())
            engine->cancel(m_transferId);
        m_transferId = 0;
    }
}

std::optional<QString> FormRequest::responseString() const
{
    return WireFormat::decodeText(m_result.body, m_result.contentType, m_defaultEncoding);
}

void FormRequest::failSoon(const QString &error)
{
    QMetaObject::invokeMethod(
        this,
        [this, error] {
            if (m_detached)
                return;
            m_result = TransferResult();
            m_result.error = error;
            m_result.failure = TransferFailure::Other;
            emit failed(this);
        },
        Qt::QueuedConnection);
}

void FormRequest::transferFinished(TransferResult result)
{
    m_transferId = 0;
    if (m_detached)
        return;
    m_result = std::move(result);
    if (m_result.completed && (m_result.status == 401 || m_result.status == 407)) {
        // Nobody ever supplies credentials, so a challenge cannot be answered.
        m_result.completed = false;
        m_result.error = u"Authentication needed (HTTP %1)"_s.arg(m_result.status);
        m_result.failure = TransferFailure::Other;
    }
    if (!m_result.completed) {
        qCDebug(lcApi).noquote() << "request failed:" << LogMask::maskedText(m_url.toString())
                                  << LogMask::maskedText(m_result.error);
        emit failed(this);
        return;
    }
    emit finished(this);
}
