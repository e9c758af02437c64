#pragma once

#include "api/CurlEngine.h"
#include "api/HttpTransfer.h"

#include <QObject>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <memory>

// The upload transport: one multipart POST of text parameters and one file, the file streamed
// from disk with constant memory (libcurl reads it through a 512 KiB buffer).
//
// On the wire: "Content-Type: multipart/form-data; boundary=Boundary+<16 upper-case hex>",
// "Content-Length" of the whole body, "Accept-Language" (WireFormat::acceptLanguage of the
// user's languages), "User-Agent" (WireFormat::uploadUserAgent()); no "Accept", no "Expect",
// no "Accept-Encoding". The body holds one part per parameter in ascending order of the name,
// then the file part:
//   --B CRLF  Content-Disposition: form-data; name="k" CRLF CRLF  value
//   CRLF --B CRLF  ... next part ...
//   CRLF --B CRLF  Content-Disposition: form-data; name="file"; filename="a.ipa" CRLF
//                  Content-Type: <type> CRLF CRLF  <file bytes>
//   CRLF --B-- CRLF
// The file is opened and its size read when the request is built; when that fails the file
// part is left out without a report and the parameters go alone.
//
// Signals arrive on the main thread. progress() counts body bytes sent (framing and parameters
// included) against the body length; at most one progress event waits in the event queue at a
// time, so a fast upload cannot flood the loop, and the last one before a successful
// completion reports the whole body. finished() comes exactly once. Destroying the request
// cancels the exchange, and nothing is emitted after that.
//
// The reply is accepted when its status is 200-299 and its media type is "application/json",
// "text/json" or "text/javascript"; an accepted body is parsed as JSON (a body of one space
// reads as empty). Otherwise the error is "Request failed: unacceptable content-type: %@" (no
// body) or "Request failed: %@ (%ld)" (with the parsed body when the type is acceptable). At
// most 16 MiB of reply are held.
//
// The transport has no time-out of its own except a stall guard: when nothing at all has been
// sent or received for stallTimeout() (5 minutes by default, long enough for the service to
// take in a large package before it answers) the upload ends with an error.
class UploadRequest final : public QObject, private TransferReceiver
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxReplyBytes = 16 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kDefaultStallTimeout{5 * 60 * 1000};

    UploadRequest(const QUrl &url, const QVariantMap &parameters, const QString &filePath, const QString &fieldName,
                  const QString &fileName, const QString &contentType, QObject *parent = nullptr);
    ~UploadRequest() override;

    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    std::chrono::milliseconds stallTimeout() const { return m_stallTimeout; }

    // Starts the upload; returns at once. A second call does nothing.
    void start();

    QUrl url() const { return m_url; }
    QString boundary() const { return m_boundary; }
    // Length of the whole body, as sent in Content-Length.
    qint64 contentLength() const;
    // False when the file could not be opened while the request was built.
    bool hasFilePart() const { return m_hasFile; }
    // The body as it goes on the wire (the file is read from disk only when it is sent).
    std::shared_ptr<const BodyLayout> body() const { return m_body; }

    // After finished(): the reply's status (0 when no reply arrived) and its raw body.
    int statusCode() const { return m_status; }
    // After a finished() without a reply (status 0): why the exchange did not complete.
    TransferFailure failure() const { return m_failure; }
    QByteArray responseBody() const { return m_responseBody; }

Q_SIGNALS:
    void progress(qint64 sent, qint64 total);
    // status: the HTTP status (0 without a reply); json: the parsed body or an invalid QVariant;
    // error: empty on success, otherwise what went wrong.
    void finished(int status, const QVariant &json, const QString &error);

private:
    void transferProgress(qint64 sent, qint64 total) override;
    void transferFinished(TransferResult result) override;

    QUrl m_url;
    QString m_boundary;
    std::shared_ptr<BodyLayout> m_body;
    bool m_hasFile = false;
    std::chrono::milliseconds m_stallTimeout = kDefaultStallTimeout;
    std::shared_ptr<ProgressChannel> m_progress;

    bool m_started = false;
    bool m_done = false;
    quint64 m_transferId = 0;
    int m_status = 0;
    TransferFailure m_failure = TransferFailure::None;
    QByteArray m_responseBody;
};
