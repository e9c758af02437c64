#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <utility>

// A raw HTTP/1.1 peer on 127.0.0.1 for tests of anything that talks HTTP: it records every
// request byte for byte and answers with scripted replies, including the ones a real server
// would never send (stalls, endless bodies, raw garbage).
//
// It serves on a thread of its own with plain sockets, so the code under test keeps the main
// event loop to itself; wait with QTRY_COMPARE(peer.requestCount(), n) or QSignalSpy::wait.
// Requests are read with their Content-Length body (an "Expect: 100-continue" gets its interim
// reply; chunked request bodies are not supported). Connections are kept alive unless a reply
// says otherwise. A connection whose first bytes are not an HTTP request line (a TLS handshake,
// say) is recorded in unparsedData() and closed.
//
//     LoopbackHttpPeer peer;
//     peer.setHandler([](const LoopbackHttpPeer::Request &r) {
//         if (r.path() == "/apiv1/user/login")
//             return LoopbackHttpPeer::Reply::json(R"({"code":0,"data":{}})");
//         return LoopbackHttpPeer::Reply::withStatus(404);
//     });
//     qputenv("QUILLO_SERVICE_HOST", peer.hostPort().toUtf8());
class LoopbackHttpPeer final
{
public:
    struct Request
    {
        QByteArray method;
        QByteArray target; // as on the request line (path and query, or an absolute URL via a proxy)
        QByteArray version;
        QList<std::pair<QByteArray, QByteArray>> headers; // in the order received
        QByteArray head;     // request line and header lines up to and including the empty line
        QByteArray body;     // as received, up to the record limit
        qint64 bodyLength = 0; // body bytes received
        int connection = 0;    // index of the connection it came on (0 = first accepted)
        int sequence = 0;      // index of the request (0 = first received)
        bool reset = false;    // cut by the cut rule: its connection was reset while the body came

        // First header of that name (case-insensitive), or empty.
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
        QList<QByteArray> headerNames() const;
        // The target without its query.
        QByteArray path() const;
    };

    struct Reply
    {
        enum class Mode {
            Respond,     // send the reply (after delayMs)
            Hold,        // keep the request unanswered until releaseHeld(), then send the reply
            Close,       // close the connection without a reply
            StallBody,   // send the headers (Content-Length of body) and half the body, then nothing
            EndlessBody, // send the headers without a length, then the body over and over until the client goes
            Raw,         // send raw as it is, then close
        };
        Mode mode = Mode::Respond;
        int status = 200;
        QByteArray reason; // empty: the standard phrase
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
        bool contentLength = true; // add a Content-Length header
        bool close = false;        // add "Connection: close" and close after sending
        int delayMs = 0;
        QByteArray raw;

        static Reply json(const QByteArray &body, int status = 200);
        static Reply typed(const QByteArray &contentType, const QByteArray &body, int status = 200);
        static Reply withStatus(int status);
        static Reply redirect(int status, const QByteArray &location);
        static Reply hold(Reply eventual);
        Reply &header(const QByteArray &name, const QByteArray &value);
    };

    using Handler = std::function<Reply(const Request &)>;
    // Asked once a request's head has arrived (body still empty): the number of body bytes after
    // which the connection is reset (RST, no reply), or -1 to read the request as usual. A cut
    // request is recorded with reset set and the body as far as it came; the handler never sees it.
    using CutRule = std::function<qint64(const Request &)>;

    LoopbackHttpPeer();
    ~LoopbackHttpPeer();
    LoopbackHttpPeer(const LoopbackHttpPeer &) = delete;
    LoopbackHttpPeer &operator=(const LoopbackHttpPeer &) = delete;

    quint16 port() const;
    // "127.0.0.1:<port>"
    QString hostPort() const;
    // "http://127.0.0.1:<port>" + path
    QByteArray url(const QByteArray &path) const;

    // Decides each reply; called on the peer's thread. Without one, every request gets
    // {"code":0} as JSON.
    void setHandler(Handler handler);
    // Every request gets this reply.
    void setReply(const Reply &reply);
    void setCutRule(CutRule rule);
    // false: accept connections but never read from them (the client's writes back up).
    void setReadRequests(bool read);
    // Bodies beyond this many bytes are counted, not kept (default 256 MiB).
    void setBodyRecordLimit(qint64 bytes);

    int requestCount() const;
    QList<Request> requests() const;
    Request request(int index) const;
    Request lastRequest() const;
    void clearRequests();

    // Requests answered with Mode::Hold and not yet released.
    int heldCount() const;
    void releaseHeld();

    // Closes every open connection (a client's pool then holds none of them); see openConnections().
    void closeConnections();

    int acceptedConnections() const;
    int openConnections() const;
    // First bytes (at most 4 KiB) of each connection that did not speak HTTP.
    QList<QByteArray> unparsedData() const;

    static QByteArray reasonPhrase(int status);

private:
    class Private;
    std::unique_ptr<Private> d;
};
