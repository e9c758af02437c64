#pragma once

#include "api/CurlEngine.h"
#include "api/HttpTransfer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <memory>
#include <optional>

// The form transport: one HTTP exchange of an API call.
//
// The request is a POST when it has form values or file parts, otherwise a GET. Without file
// parts the values go URL-encoded ("application/x-www-form-urlencoded; charset=utf-8"); with at
// least one file part the request is multipart ("multipart/form-data; charset=utf-8;
// boundary=0xKhTmLbOuNdArY-<UUID>"): the values first, then the file parts, files streamed from
// disk. Header lines sent, in order: the caller's headers (Host first when given), then
// "User-Agent" (WireFormat::formUserAgent() unless the caller set one), "Accept-Encoding: gzip"
// (when gzip is accepted), "Cookie" (the cookies that match the address, "a=1; b=2"),
// "Content-Type" and "Content-Length". libcurl's own "Accept" and "Expect" are never sent.
//
// Replies 301/302/303/307 with a Location are followed (see CurlEngine.cpp for the rules); the
// sixth redirect fails. A request fails when nothing has been sent or received for its time-out
// (1.5 times as long while the body is not confirmed sent beyond the first write). A gzip reply
// is inflated; at most 16 MiB of reply (on the wire and inflated) are held, a larger reply fails.
// A reply with status 401 or 407 fails (no credentials are ever sent); any other status
// finishes.
//
// Exactly one of finished() and failed() is emitted, on the main thread, unless the request is
// cancelled or destroyed first; after cancel() or destruction nothing more is emitted.
class FormRequest final : public QObject, private TransferReceiver
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxReplyBytes = 16 * 1024 * 1024;

    explicit FormRequest(const QUrl &url, QObject *parent = nullptr);
    ~FormRequest() override;

    QUrl url() const { return m_url; }

    // Sets a form value; a name that is present keeps its place and takes the new value.
    void setPostValue(const QString &name, const QString &value);
    QList<std::pair<QString, QString>> postValues() const { return m_values; }
    // Attaches a file from disk (file name: the path's last component; content type from its
    // extension). A file under a field name that is present replaces the earlier one.
    void setFile(const QString &path, const QString &field);
    // Attaches bytes; always appends a part.
    void addData(const QByteArray &bytes, const QString &fileName, const QString &contentType, const QString &field);

    // Sets a header; names compare without case, a name that is present takes the new value.
    void setHeader(const QString &name, const QString &value);
    void setCookies(const QList<HttpCookie> &cookies) { m_cookies = cookies; }
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    void setAcceptsGzip(bool accepts) { m_acceptsGzip = accepts; }
    // Character set used to read the reply when it names none or an unknown one.
    void setDefaultResponseEncoding(const QByteArray &name) { m_defaultEncoding = name; }
    void setUserInfo(const QVariantMap &info) { m_userInfo = info; }
    QVariantMap userInfo() const { return m_userInfo; }

    // Starts the exchange; returns at once. A second call does nothing.
    void start();
    // Stops the exchange; nothing more is emitted.
    void cancel();

    // After finished(): the reply.
    int responseStatusCode() const { return m_result.status; }
    QByteArray responseContentType() const { return m_result.contentType; }
    QByteArray responseData() const { return m_result.body; }
    // The reply as text in its character set; nullopt when the body is not valid in it.
    std::optional<QString> responseString() const;
    // After failed(): why.
    QString errorString() const { return m_result.error; }
    TransferFailure failure() const { return m_result.failure; }

Q_SIGNALS:
    void finished(FormRequest *request);
    void failed(FormRequest *request);

private:
    struct FilePart
    {
        QString field;
        QString fileName;
        QString contentType;
        QString path; // empty for bytes
        QByteArray bytes;
    };

    void transferFinished(TransferResult result) override;
    void failSoon(const QString &error);
    std::shared_ptr<BodyLayout> buildMultipart(const QByteArray &boundary, QString *error) const;

    QUrl m_url;
    QList<std::pair<QString, QString>> m_values;
    QList<FilePart> m_files;
    QList<std::pair<QString, QString>> m_headers;
    QList<HttpCookie> m_cookies;
    std::chrono::milliseconds m_timeout{60000};
    bool m_acceptsGzip = false;
    QByteArray m_defaultEncoding = "UTF-8";
    QVariantMap m_userInfo;

    bool m_started = false;
    bool m_detached = false;
    quint64 m_transferId = 0;
    TransferResult m_result;
};
