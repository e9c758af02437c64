#pragma once

#include <QEventLoop>
#include <QObject>
#include <QVariant>
#include <QVariantMap>

#include <memory>

class CloudClient;

// One service call made the way the screens make theirs (a fresh CloudClient, a target and its
// success and error operations by name), waited for in a local event loop.
//
//     ApiCall call;
//     call.client().loginWithEmail(email, password, &call, ApiCall::kSuccess, ApiCall::kFailure);
//     if (!call.wait()) ... call.errorMessage(fallback), call.exitCode()
//
// An interruption (Interruption::requested) ends the wait; the call is then cancelled.
class ApiCall final : public QObject
{
    Q_OBJECT
public:
    static inline const QString kSuccess = QStringLiteral("callSucceeded:");
    static inline const QString kFailure = QStringLiteral("callFailed:");

    ApiCall();
    ~ApiCall() override;

    CloudClient &client() { return *m_client; }

    // True when the success operation was called.
    bool wait();
    bool wasInterrupted() const { return m_interrupted; }

    QVariant data() const { return m_data; }
    QVariantMap errorRecord() const { return m_error; }
    // The record's "message", or the fallback when it has none.
    QString errorMessage(const QString &fallback) const;
    // ExitCode::Interrupted, or ExitCode::forErrorRecord of the error.
    int exitCode() const;

    Q_INVOKABLE void callSucceeded(const QVariant &data);
    Q_INVOKABLE void callFailed(const QVariant &errorRecord);

private:
    std::unique_ptr<CloudClient> m_client;
    QEventLoop m_loop;
    bool m_done = false;
    bool m_succeeded = false;
    bool m_interrupted = false;
    QVariant m_data;
    QVariantMap m_error;
};
