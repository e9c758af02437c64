#pragma once

#include "api/HttpTransfer.h"

#include <QHash>
#include <QObject>
#include <QUrl>

#include <memory>

// Told of one transfer's outcome, always on the main thread.
class TransferReceiver
{
public:
    virtual void transferProgress(qint64 sent, qint64 total);
    virtual void transferFinished(TransferResult result) = 0;

protected:
    ~TransferReceiver() = default;
};

// Runs every HTTP exchange of the process on one network thread that drives a libcurl multi
// handle, and hands each outcome back to the main thread.
//
// Why a thread of its own rather than socket notifiers on the main loop: the package upload
// streams up to gigabytes from disk through libcurl's read callback; on the main loop every
// disk read and send would compete with the screens. The network thread blocks in
// curl_multi_poll and is woken by curl_multi_wakeup when the main thread queues a command.
// The command inbox is the only lock; the main thread never touches a curl handle.
//
// Form exchanges (API calls) run at most kMaxFormExchanges at a time; the others wait and
// start in the order they were submitted. Uploads are not counted against that limit.
// Proxies: http_proxy, https_proxy, all_proxy and no_proxy as libcurl applies them; without
// them, the proxy the desktop's settings name (SystemProxy).
class CurlEngine final : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxFormExchanges = 4;

    // The engine, created on first use; must be called on the main thread. Null once the
    // application object is being destroyed.
    static CurlEngine *instance();

    // Starts an exchange; the receiver is told of its progress and outcome until cancel().
    quint64 submit(TransferPlan plan, TransferReceiver *receiver);
    // Stops the exchange; its receiver hears nothing more of it, even of an outcome that is
    // already on its way to the main thread.
    void cancel(quint64 id);

    ~CurlEngine() override;

    // Whether an exchange follows a redirect: only to http or https with a host, never from https
    // to http, and a 307 that would resend a body (the form, with its credentials) only within
    // the origin (scheme, host and port) the body was meant for.
    static bool mayFollowRedirect(const QUrl &from, const QUrl &to, int status, bool resendsBody);
    static bool sameOrigin(const QUrl &a, const QUrl &b);

    class Loop; // the network thread; internal

private:
    CurlEngine();
    static void shutdown();
    void deliverProgress(quint64 id, const std::shared_ptr<ProgressChannel> &channel, qint64 total);
    void deliverResult(quint64 id, TransferResult result);

    std::unique_ptr<Loop> m_loop;
    QHash<quint64, TransferReceiver *> m_receivers;
    quint64 m_nextId = 1;
};
