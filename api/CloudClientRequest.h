#pragma once

#include "api/HttpTransfer.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class FormRequest;

// The request envelope: turns one service operation (a module/action path and its fields) into
// one call of the form transport to "<api base>/<mod>", adds the three fields every call
// carries ("_uId", "_api_key", "_token"), decodes the JSON reply envelope and tells its delegate
// the outcome. Only CloudClient uses it.
//
// The delegate's finish and error operations are named like "finish:errorInfo:"; the part
// before the first ':' is invoked through the meta-object system as
//     name(const QVariantMap &userInfo, const QVariant &payload)
// where userInfo is the call's user-info record {"delegate": QPointer<QObject> (the caller's
// target), "selector": QString, "errorSelector": QString} and payload the reply's "data" (an
// invalid QVariant when absent) or the error record {"code": QString, "message": ...}.
//
// Destroying the envelope cancels every call it started that has not reported; none of them
// reports afterwards. Outcomes are delivered on the main thread; a delegate may destroy the
// envelope from inside its operation.
class CloudClientRequest final : public QObject
{
    Q_OBJECT
public:
    static inline const QString kApiKey = QStringLiteral("7c1e4a90d25b3f86e0a9c4d71b2f5e38");
    // Seconds a cookie lives from the moment the call is built (1,095 days).
    static constexpr qint64 kCookieLifetimeSeconds = 94608000;
    static inline const QString kEmptyReplyCode = QStringLiteral("1");
    static inline const QString kBadFormatCode = QStringLiteral("2");
    static inline const QString kNetworkErrorCode = QStringLiteral("100");

    explicit CloudClientRequest(QObject *parent = nullptr);
    ~CloudClientRequest() override;

    void setDelegate(QObject *delegate) { m_delegate = delegate; }
    void setFinishSelector(const QString &name) { m_finishSelector = name; }
    void setFinishErrorSelector(const QString &name) { m_finishErrorSelector = name; }
    // JPEG bytes attached to every later call as "image[]" parts (file name "image.jpg"); not
    // cleared after a call. The caller encodes the images (the core has no image codec).
    void setImages(const QList<QByteArray> &jpegImages) { m_images = jpegImages; }
    QList<QByteArray> images() const { return m_images; }

    // Starts one call and returns at once.
    //   params      logged, never sent
    //   postParams  QVariantMap of fields (text or numbers); an invalid QVariant (no map at
    //               all) makes a plain GET without fields; a map, even empty, a form POST
    //   files       QStringList of paths; each existing one is attached as "Filedata", the last
    //               one wins
    //   cookies     QVariantMap name -> value, or invalid
    //   header      QVariantMap name -> value merged over {"Host": service host}, or invalid
    void callMethodWithMod(const QString &mod, const QVariant &params, const QVariant &postParams,
                           const QVariant &files, const QVariant &cookies, const QVariant &header, QObject *delegate,
                           const QString &selector, const QString &errorSelector);

    // What the most recent call that reported an error met: set before the error operation runs,
    // for a caller deciding whether another try may help. The error record cannot tell a refusal
    // with code 1, 2 or 100 from the envelope's own codes; this can.
    struct CallFailure
    {
        TransferFailure transport = TransferFailure::None; // None: a reply arrived
        int httpStatus = 0;   // of the reply, 0 without one
        bool refusal = false; // the reply was the service's envelope with a refusal code
    };
    CallFailure lastFailure() const { return m_lastFailure; }

    // The most recently started call (owned by the envelope), or null.
    FormRequest *request() const { return m_request; }
    // Calls started and not yet reported.
    int pendingCallCount() const { return int(m_calls.size()); }

    // Percent-encodes the UTF-8 bytes of a text, keeping ASCII letters, digits, "-", "_", "."
    // and "~" ("a b" -> "a%20b"). Anything but a usable text (DataCheck::isValidString) is
    // returned unchanged.
    static QVariant urlEncodeValue(const QVariant &value);

    // The outcome of a reply body (already decoded as text; nullopt when it could not be).
    struct Outcome
    {
        bool success = false;
        QVariant payload; // the data (may be invalid: no data), or the error record
        bool refusal = false; // the error is the service's own: an envelope with a code of 1 or more
    };
    static Outcome decodeReply(const std::optional<QString> &text);
    static QVariantMap errorRecord(const QString &code, const QVariant &message);
    static QVariantMap networkError();

    // The no-progress time-out of every call (60 s). Tests shorten it.
    static void setDefaultTimeout(std::chrono::milliseconds timeout);
    static std::chrono::milliseconds defaultTimeout();

private:
    void requestFinished(FormRequest *request);
    void requestFailed(FormRequest *request);
    std::unique_ptr<FormRequest> takeCall(FormRequest *request);
    void report(const QString &selector, const QVariantMap &userInfo, const QVariant &payload);

    QPointer<QObject> m_delegate;
    QString m_finishSelector;
    QString m_finishErrorSelector;
    QList<QByteArray> m_images;
    std::vector<std::unique_ptr<FormRequest>> m_calls;
    FormRequest *m_request = nullptr;
    CallFailure m_lastFailure;
};
