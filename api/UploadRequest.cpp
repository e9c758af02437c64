#include "api/UploadRequest.h"

#include "api/Logging.h"
#include "api/WireFormat.h"
#include "app/LogMask.h"

using namespace Qt::StringLiterals;

UploadRequest::UploadRequest(const QUrl &url, const QVariantMap &parameters, const QString &filePath,
                             const QString &fieldName, const QString &fileName, const QString &contentType,
                             QObject *parent)
    : QObject(parent), m_url(url), m_boundary(WireFormat::uploadBoundary()), m_body(std::make_shared<BodyLayout>())
{
    LogMask::rememberSecrets(parameters);
    const QByteArray boundary = m_boundary.toUtf8();
    // QVariantMap keeps its keys in ascending order of their UTF-16 code units.
    bool first = true;
    auto delimiter = [&] {
        m_body->append(QByteArray(first ? "--" : "\r\n--") + boundary + "\r\n");
        first = false;
    };
    for (auto it = parameters.cbegin(); it != parameters.cend(); ++it) {
        delimiter();
        m_body->append(WireFormat::contentDisposition(it.key(), std::nullopt) + "\r\n\r\n"
                       + WireFormat::valueText(it.value()).toUtf8());
    }
    qint64 size = 0;
    std::shared_ptr<FileHandle> file = filePath.isEmpty() ? nullptr : FileHandle::open(filePath, &size);
    if (file) {
        delimiter();
        m_body->append(WireFormat::contentDisposition(fieldName, fileName) + "\r\nContent-Type: "
                       + contentType.toUtf8() + "\r\n\r\n");
        m_body->appendFile(file, size);
        m_hasFile = true;
    } else {
        qCDebug(lcApi) << "upload without its file, which cannot be read:" << filePath;
    }
    if (first)
        delimiter();
    m_body->append("\r\n--" + boundary + "--\r\n");
}

UploadRequest::~UploadRequest()
{
    m_done = true;
    if (m_transferId != 0) {
        if (CurlEngine *engine = CurlEngine::instance())
            engine->cancel(m_transferId);
    }
}

qint64 UploadRequest::contentLength() const
{
    return m_body->size();
}

void UploadRequest::start()
{
    if (m_started)
        return;
    m_started = true;
    CurlEngine *engine = CurlEngine::instance();
    if (!engine) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_done = true;
                m_failure = TransferFailure::Other;
                emit finished(0, QVariant(), u"The network thread is not running"_s);
            },
            Qt::QueuedConnection);
        return;
    }
    TransferPlan plan;
    plan.kind = TransferPlan::Kind::Upload;
    plan.url = m_url.toEncoded();
    plan.post = true;
    plan.headers = {
        {"Content-Type", "multipart/form-data; boundary=" + m_boundary.toUtf8()},
        {"Content-Length", QByteArray::number(m_body->size())},
        {"Accept-Language", WireFormat::acceptLanguage(WireFormat::preferredLanguages()).toUtf8()},
        {"User-Agent", WireFormat::uploadUserAgent().toUtf8()},
    };
    plan.body = m_body;
    plan.followRedirects = false;
    plan.timeout = m_stallTimeout;
    plan.extendedUntilBodySent = false;
    plan.maxReplyBytes = kMaxReplyBytes;
    m_progress = std::make_shared<ProgressChannel>();
    plan.progress = m_progress;
    m_transferId = engine->submit(std::move(plan), this);
}

void UploadRequest::transferProgress(qint64 sent, qint64 total)
{
    if (!m_done)
        emit progress(sent, total);
}

void UploadRequest::transferFinished(TransferResult result)
{
    m_transferId = 0;
    if (m_done)
        return;
    m_done = true;
    if (!result.completed) {
        qCDebug(lcApi) << "upload failed:" << result.error;
        m_failure = result.failure;
        emit finished(0, QVariant(), u"Request failed: %1"_s.arg(result.error));
        return;
    }
    m_status = result.status;
    m_responseBody = result.body;
    const QByteArray type = WireFormat::mediaType(result.contentType);
    const bool acceptableType = type == "application/json" || type == "text/json" || type == "text/javascript";
    const bool acceptableStatus = result.status >= 200 && result.status <= 299;

    QVariant json;
    QString error;
    if (acceptableType) {
        const QByteArray text = result.body == " " ? QByteArray() : result.body;
        if (!text.isEmpty()) {
            if (const std::optional<QVariant> parsed = WireFormat::parseJson(text)) {
                json = *parsed;
                LogMask::rememberSecrets(json);
            }
            else
                error = u"Request failed: the reply is not valid JSON"_s;
        }
    }
    if (!acceptableStatus)
        error = u"Request failed: %1 (%2)"_s.arg(WireFormat::statusText(result.status)).arg(result.status);
    else if (!acceptableType)
        error = u"Request failed: unacceptable content-type: %1"_s.arg(
            type.isEmpty() ? u"(none)"_s : QString::fromUtf8(type));
    emit finished(m_status, json, error);
}
