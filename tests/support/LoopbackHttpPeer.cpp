#include "tests/support/LoopbackHttpPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr qsizetype kMaxHead = 1024 * 1024;
constexpr qsizetype kUnparsedKeep = 4096;

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool looksLikeRequestLine(const QByteArray &data)
{
    // A method token of upper-case letters followed by a space.
    qsizetype i = 0;
    while (i < data.size() && data.at(i) >= 'A' && data.at(i) <= 'Z')
        ++i;
    if (i == data.size())
        return true; // not enough yet
    return i > 0 && data.at(i) == ' ';
}

} // namespace

QByteArray LoopbackHttpPeer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

bool LoopbackHttpPeer::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QList<QByteArray> LoopbackHttpPeer::Request::headerNames() const
{
    QList<QByteArray> names;
    for (const auto &header : headers)
        names.append(header.first);
    return names;
}

QByteArray LoopbackHttpPeer::Request::path() const
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

LoopbackHttpPeer::Reply LoopbackHttpPeer::Reply::json(const QByteArray &body, int status)
{
    return typed("application/json", body, status);
}

LoopbackHttpPeer::Reply LoopbackHttpPeer::Reply::typed(const QByteArray &contentType, const QByteArray &body,
                                                       int status)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    reply.headers.append({"Content-Type", contentType});
    return reply;
}

LoopbackHttpPeer::Reply LoopbackHttpPeer::Reply::withStatus(int status)
{
    Reply reply;
    reply.status = status;
    return reply;
}

LoopbackHttpPeer::Reply LoopbackHttpPeer::Reply::redirect(int status, const QByteArray &location)
{
    Reply reply;
    reply.status = status;
    reply.headers.append({"Location", location});
    return reply;
}

LoopbackHttpPeer::Reply LoopbackHttpPeer::Reply::hold(Reply eventual)
{
    eventual.mode = Mode::Hold;
    return eventual;
}

LoopbackHttpPeer::Reply &LoopbackHttpPeer::Reply::header(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
    return *this;
}

QByteArray LoopbackHttpPeer::reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

class LoopbackHttpPeer::Private
{
public:
    struct Connection
    {
        int fd = -1;
        int index = 0;
        QByteArray in;
        QByteArray out;
        bool readingBody = false;
        bool waiting = false; // a reply is held or delayed: read nothing more
        bool endless = false;
        bool closeAfterWrite = false;
        bool dead = false;
        Request current;
        qint64 bodyLeft = 0;
        QByteArray endlessChunk;
        Clock::time_point due;
        bool delayed = false;
        Reply pending;
        qint64 cutAfter = -1;
    };

    Private();
    ~Private();
    void run();
    void accept();
    void readFrom(Connection &c);
    void parse(Connection &c);
    void completeRequest(Connection &c);
    void cut(Connection &c);
    void apply(Connection &c, const Reply &reply);
    void sendNow(Connection &c, const Reply &reply);
    void writeTo(Connection &c);
    void wake();

    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    quint16 port = 0;
    std::thread thread;
    std::list<Connection> connections; // peer thread only

    mutable std::mutex mutex; // guards everything below
    bool stopping = false;
    Handler handler;
    CutRule cutRule;
    bool readRequests = true;
    qint64 recordLimit = 256 * 1024 * 1024;
    QList<Request> requests;
    int held = 0;
    bool releaseRequested = false;
    bool closeRequested = false;
    int accepted = 0;
    int open = 0;
    QList<QByteArray> unparsed;
};

LoopbackHttpPeer::Private::Private()
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listenFd, 64) != 0)
        qFatal("LoopbackHttpPeer: cannot listen on 127.0.0.1");
    socklen_t length = sizeof address;
    ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
    setNonBlocking(listenFd);
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("LoopbackHttpPeer: no pipe");
    thread = std::thread([this] { run(); });
}

LoopbackHttpPeer::Private::~Private()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake();
    thread.join();
    for (Connection &c : connections)
        ::close(c.fd);
    ::close(listenFd);
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
}

void LoopbackHttpPeer::Private::wake()
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(wakePipe[1], &byte, 1);
}

void LoopbackHttpPeer::Private::run()
{
    for (;;) {
        bool release = false;
        bool read = true;
        bool closeAll = false;
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
            release = std::exchange(releaseRequested, false);
            closeAll = std::exchange(closeRequested, false);
            read = readRequests;
        }
        if (closeAll) {
            for (Connection &c : connections)
                c.dead = true;
        }
        if (release) {
            int released = 0;
            for (Connection &c : connections) {
                if (c.waiting && !c.delayed && c.pending.mode == Reply::Mode::Hold) {
                    Reply reply = c.pending;
                    reply.mode = Reply::Mode::Respond;
                    c.waiting = false;
                    sendNow(c, reply);
                    ++released;
                }
            }
            std::lock_guard lock(mutex);
            held -= released;
        }

        const auto now = Clock::now();
        int timeout = 200;
        for (Connection &c : connections) {
            if (c.delayed) {
                if (c.due <= now) {
                    c.delayed = false;
                    c.waiting = false;
                    sendNow(c, c.pending);
                } else {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.due - now).count();
                    timeout = std::min<int>(timeout, int(left) + 1);
                }
            }
        }

        std::vector<pollfd> fds;
        fds.push_back({wakePipe[0], POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        std::vector<Connection *> order;
        for (Connection &c : connections) {
            short events = 0;
            if (read)
                events |= POLLIN;
            if (!c.out.isEmpty() || c.endless)
                events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            order.push_back(&c);
        }
        ::poll(fds.data(), fds.size(), timeout);
        if (fds[0].revents & POLLIN) {
            char buffer[64];
            while (::read(wakePipe[0], buffer, sizeof buffer) > 0) {
            }
        }
        if (fds[1].revents & POLLIN)
            accept();
        for (size_t i = 0; i < order.size(); ++i) {
            Connection &c = *order[i];
            const short revents = fds[i + 2].revents;
            if (read && (revents & (POLLIN | POLLHUP | POLLERR)))
                readFrom(c);
            else if (revents & POLLERR)
                c.dead = true;
            if (!c.dead && (revents & POLLOUT))
                writeTo(c);
        }
        int closed = 0;
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->dead) {
                if (it->waiting && !it->delayed && it->pending.mode == Reply::Mode::Hold) {
                    std::lock_guard lock(mutex);
                    --held;
                }
                ::close(it->fd);
                it = connections.erase(it);
                ++closed;
            } else {
                ++it;
            }
        }
        if (closed) {
            std::lock_guard lock(mutex);
            open -= closed;
        }
    }
}

void LoopbackHttpPeer::Private::accept()
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        Connection c;
        c.fd = fd;
        {
            std::lock_guard lock(mutex);
            c.index = accepted++;
            ++open;
        }
        connections.push_back(std::move(c));
    }
}

void LoopbackHttpPeer::Private::readFrom(Connection &c)
{
    char buffer[256 * 1024];
    for (;;) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (c.waiting || c.endless) {
                continue; // the client sends more while its reply is pending: not read as a request
            }
            c.in.append(buffer, n);
            parse(c);
            if (c.dead)
                return;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        c.dead = true; // closed by the client, or an error
        return;
    }
}

void LoopbackHttpPeer::Private::parse(Connection &c)
{
    while (!c.dead && !c.waiting && !c.endless) {
        if (!c.readingBody) {
            if (!looksLikeRequestLine(c.in)) {
                std::lock_guard lock(mutex);
                unparsed.append(c.in.left(kUnparsedKeep));
                c.dead = true;
                return;
            }
            const qsizetype end = c.in.indexOf("\r\n\r\n");
            if (end < 0) {
                if (c.in.size() > kMaxHead)
                    c.dead = true;
                return;
            }
            Request request;
            request.head = c.in.left(end + 4);
            c.in.remove(0, end + 4);
            const QList<QByteArray> lines = request.head.left(end).split('\n');
            const QList<QByteArray> first = lines.first().trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            request.version = first.value(2);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
            }
            request.connection = c.index;
            c.current = request;
            c.bodyLeft = request.header("Content-Length").toLongLong();
            c.readingBody = true;
            CutRule rule;
            {
                std::lock_guard lock(mutex);
                rule = cutRule;
            }
            c.cutAfter = rule ? rule(request) : -1;
            if (request.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
                c.out += "HTTP/1.1 100 Continue\r\n\r\n";
                writeTo(c);
            }
        }
        const qint64 take = std::min<qint64>(c.bodyLeft, c.in.size());
        if (take > 0) {
            qint64 limit;
            {
                std::lock_guard lock(mutex);
                limit = recordLimit;
            }
            const qint64 keep = std::max<qint64>(0, std::min<qint64>(take, limit - c.current.body.size()));
            c.current.body.append(c.in.constData(), keep);
            c.current.bodyLength += take;
            c.in.remove(0, take);
            c.bodyLeft -= take;
        }
        if (c.cutAfter >= 0 && c.current.bodyLength >= c.cutAfter) {
            cut(c);
            return;
        }
        if (c.bodyLeft > 0)
            return;
        c.readingBody = false;
        completeRequest(c);
    }
}

void LoopbackHttpPeer::Private::completeRequest(Connection &c)
{
    Handler current;
    {
        std::lock_guard lock(mutex);
        c.current.sequence = int(requests.size());
        requests.append(c.current);
        current = handler;
    }
    Reply reply = current ? current(c.current) : Reply::json("{\"code\":0}");
    apply(c, reply);
}

void LoopbackHttpPeer::Private::cut(Connection &c)
{
    c.current.reset = true;
    {
        std::lock_guard lock(mutex);
        c.current.sequence = int(requests.size());
        requests.append(c.current);
    }
    // Closing with a zero linger sends RST instead of FIN.
    const linger reset{1, 0};
    ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    c.dead = true;
}

void LoopbackHttpPeer::Private::apply(Connection &c, const Reply &reply)
{
    switch (reply.mode) {
    case Reply::Mode::Hold: {
        c.waiting = true;
        c.pending = reply;
        std::lock_guard lock(mutex);
        ++held;
        return;
    }
    case Reply::Mode::Close:
        c.dead = true;
        return;
    case Reply::Mode::Raw:
        c.out += reply.raw;
        c.closeAfterWrite = true;
        c.waiting = true;
        writeTo(c);
        return;
    default:
        break;
    }
    if (reply.delayMs > 0) {
        c.waiting = true;
        c.delayed = true;
        c.pending = reply;
        c.pending.delayMs = 0;
        c.due = Clock::now() + std::chrono::milliseconds(reply.delayMs);
        return;
    }
    sendNow(c, reply);
}

void LoopbackHttpPeer::Private::sendNow(Connection &c, const Reply &reply)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
                      + (reply.reason.isEmpty() ? LoopbackHttpPeer::reasonPhrase(reply.status) : reply.reason)
                      + "\r\n";
    for (const auto &[name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    const bool endless = reply.mode == Reply::Mode::EndlessBody;
    if (reply.contentLength && !endless)
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    if (reply.close || endless)
        head += "Connection: close\r\n";
    head += "\r\n";
    c.out += head;
    switch (reply.mode) {
    case Reply::Mode::StallBody:
        c.out += reply.body.left(reply.body.size() / 2);
        c.waiting = true; // and never answer again
        break;
    case Reply::Mode::EndlessBody:
        c.endless = true;
        c.endlessChunk = reply.body.isEmpty() ? QByteArray("x") : reply.body;
        while (c.endlessChunk.size() < 64 * 1024)
            c.endlessChunk += c.endlessChunk;
        break;
    default:
        c.out += reply.body;
        if (reply.close) {
            c.closeAfterWrite = true;
            c.waiting = true;
        }
        break;
    }
    writeTo(c);
    // Requests that arrived behind this one on the same connection.
    if (!c.waiting && !c.endless && !c.dead && !c.in.isEmpty())
        parse(c);
}

void LoopbackHttpPeer::Private::writeTo(Connection &c)
{
    for (;;) {
        if (c.out.isEmpty()) {
            if (c.endless) {
                c.out = c.endlessChunk;
            } else {
                if (c.closeAfterWrite) {
                    ::shutdown(c.fd, SHUT_WR);
                    c.dead = true;
                }
                return;
            }
        }
        const ssize_t n = ::send(c.fd, c.out.constData(), size_t(c.out.size()), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        c.dead = true;
        return;
    }
}

LoopbackHttpPeer::LoopbackHttpPeer() : d(std::make_unique<Private>()) {}

LoopbackHttpPeer::~LoopbackHttpPeer() = default;

quint16 LoopbackHttpPeer::port() const
{
    return d->port;
}

QString LoopbackHttpPeer::hostPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(d->port);
}

QByteArray LoopbackHttpPeer::url(const QByteArray &path) const
{
    return "http://127.0.0.1:" + QByteArray::number(d->port) + path;
}

void LoopbackHttpPeer::setHandler(Handler handler)
{
    std::lock_guard lock(d->mutex);
    d->handler = std::move(handler);
}

void LoopbackHttpPeer::setReply(const Reply &reply)
{
    setHandler([reply](const Request &) { return reply; });
}

void LoopbackHttpPeer::setCutRule(CutRule rule)
{
    std::lock_guard lock(d->mutex);
    d->cutRule = std::move(rule);
}

void LoopbackHttpPeer::setReadRequests(bool read)
{
    {
        std::lock_guard lock(d->mutex);
        d->readRequests = read;
    }
    d->wake();
}

void LoopbackHttpPeer::setBodyRecordLimit(qint64 bytes)
{
    std::lock_guard lock(d->mutex);
    d->recordLimit = bytes;
}

int LoopbackHttpPeer::requestCount() const
{
    std::lock_guard lock(d->mutex);
    return int(d->requests.size());
}

QList<LoopbackHttpPeer::Request> LoopbackHttpPeer::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

LoopbackHttpPeer::Request LoopbackHttpPeer::request(int index) const
{
    std::lock_guard lock(d->mutex);
    return d->requests.value(index);
}

LoopbackHttpPeer::Request LoopbackHttpPeer::lastRequest() const
{
    std::lock_guard lock(d->mutex);
    return d->requests.isEmpty() ? Request() : d->requests.constLast();
}

void LoopbackHttpPeer::clearRequests()
{
    std::lock_guard lock(d->mutex);
    d->requests.clear();
}

int LoopbackHttpPeer::heldCount() const
{
    std::lock_guard lock(d->mutex);
    return d->held;
}

void LoopbackHttpPeer::releaseHeld()
{
    {
        std::lock_guard lock(d->mutex);
        d->releaseRequested = true;
    }
    d->wake();
}

void LoopbackHttpPeer::closeConnections()
{
    {
        std::lock_guard lock(d->mutex);
        d->closeRequested = true;
    }
    d->wake();
}

int LoopbackHttpPeer::acceptedConnections() const
{
    std::lock_guard lock(d->mutex);
    return d->accepted;
}

int LoopbackHttpPeer::openConnections() const
{
    std::lock_guard lock(d->mutex);
    return d->open;
}

QList<QByteArray> LoopbackHttpPeer::unparsedData() const
{
    std::lock_guard lock(d->mutex);
    return d->unparsed;
}
