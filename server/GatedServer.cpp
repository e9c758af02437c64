#include "server/GatedServer.h"

#include "server/Logging.h"

#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::pair<std::string, int> addressOf(int fd, bool peer)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    const int status = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length)
                            : ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    char text[INET6_ADDRSTRLEN] = {};
    if (status == 0 && address.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return { text, ntohs(v4->sin_port) };
    }
    if (status == 0 && address.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return { text, ntohs(v6->sin6_port) };
    }
    return { {}, 0 };
}

// Waits up to timeoutMs (and never past deadline, when set) for events on fd, in short slices so
// that a stopping server is noticed.
bool waitFor(int fd, short events, int timeoutMs, qint64 deadline, const std::atomic<bool> &stopping)
{
    qint64 until = nowMs() + timeoutMs;
    if (deadline > 0)
        until = std::min(until, deadline);
    for (;;) {
        const qint64 left = until - nowMs();
        if (left <= 0 || stopping)
            return false;
        pollfd p { fd, events, 0 };
        const int n = ::poll(&p, 1, int(std::min<qint64>(left, 250)));
        if (n > 0)
            return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

std::string plainResponse(int status, const char *reason, const QString &text)
{
    const std::string body = text.toStdString() + '\n';
    return "HTTP/1.1 " + std::to_string(status) + ' ' + reason
        + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::tolower(uchar(x)) == std::tolower(uchar(y));
    });
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// What the gate needs to know of a complete head to decide who reads the body.
struct HeadInfo
{
    qint64 contentLength = 0; // -1: malformed or given twice (cpp-httplib will say so)
    bool chunked = false;
    bool expectsContinue = false;
};

HeadInfo parseHead(std::string_view head)
{
    HeadInfo info;
    bool sawLength = false;
    size_t start = head.find('\n');
    while (start != std::string_view::npos && start + 1 < head.size()) {
        const size_t end = head.find('\n', start + 1);
        const std::string_view line = head.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
        start = end;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (equalsNoCase(name, "Content-Length")) {
            const bool digits = !value.empty() && value.size() <= 18
                && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            info.contentLength = digits && !sawLength ? std::stoll(std::string(value)) : -1;
            sawLength = true;
        } else if (equalsNoCase(name, "Transfer-Encoding")) {
            info.chunked = true;
        } else if (equalsNoCase(name, "Expect")) {
            info.expectsContinue = true;
        }
    }
    return info;
}

// The connection as cpp-httplib reads it: first what the gate already read, then the socket,
// never past the request's deadline.
class GateStream final : public httplib::Stream
{
public:
    GateStream(int fd, std::string buffered, std::pair<std::string, int> remote, qint64 deadline,
        const GatedServer::Limits &limits, const std::atomic<bool> &stopping)
        : m_fd(fd)
        , m_buffer(std::move(buffered))
        , m_remote(std::move(remote))
        , m_deadline(deadline)
        , m_limits(limits)
        , m_stopping(stopping)
    { }

    bool is_readable() const override
    {
        return m_offset < m_buffer.size() || waitFor(m_fd, POLLIN, m_limits.readTimeoutMs, m_deadline, m_stopping);
    }
    bool is_writable() const override { return waitFor(m_fd, POLLOUT, m_limits.writeTimeoutMs, 0, m_stopping); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (m_offset >= m_buffer.size()) {
            if (!is_readable())
                return -1;
            m_buffer.resize(64 * 1024);
            m_offset = 0;
            const ssize_t n = ::recv(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
            m_buffer.resize(size_t(std::max<ssize_t>(n, 0)));
            if (n <= 0)
                return n == 0 ? 0 : -1;
        }
        const size_t n = std::min(size, m_buffer.size() - m_offset);
        std::memcpy(ptr, m_buffer.data() + m_offset, n);
        m_offset += n;
        return ssize_t(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        return ::send(m_fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        ip = m_remote.first;
        port = m_remote.second;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        std::tie(ip, port) = addressOf(m_fd, false);
    }
    socket_t socket() const override { return m_fd; }

private:
    int m_fd;
    std::string m_buffer;
    size_t m_offset = 0;
    std::pair<std::string, int> m_remote;
    qint64 m_deadline;
    const GatedServer::Limits &m_limits;
    const std::atomic<bool> &m_stopping;
};

} // namespace

struct GatedServer::Job
{
    int fd = -1;
    std::string data; // the head, and what of the body has arrived
    std::pair<std::string, int> remote;
    qint64 deadline = 0; // for the rest of the body
    bool streaming = false;
};

// The reading thread and the workers.
class GatedServer::Gate final
{
public:
    Gate(GatedServer &owner, const Limits &limits)
        : m_owner(owner)
        , m_limits(limits)
    { }
    ~Gate() { stop(); }

    void start();
    void stop();
    void adopt(int fd);
    const std::atomic<bool> &stopping() const { return m_stopping; }

private:
    struct Pending
    {
        Job job;
        size_t scanned = 0;
        size_t headEnd = 0; // 0 until the head is complete
        size_t wanted = 0; // bytes to have before the workers take it
        int lines = 0;
        qint64 deadline = 0;
        bool closing = false; // answered; what still comes is read and dropped for a moment
        qint64 dropped = 0;
        qint64 admitBy = 0; // while it waits for a place: when it is refused
    };

    void readLoop();
    void takeNew();
    bool hasRoom(const std::string &address) const;
    void enter(Pending &&p);
    void admitWaiting(qint64 now, bool refuseExpired);
    void turnAway(const Pending &p);
    void onReadable(Pending &p);
    void scanHead(Pending &p);
    void onHead(Pending &p);
    void refuse(Pending &p, int status, const char *reason, const QString &text);
    void dispatch(Pending &p);
    void finish(int fd);
    void workLoop();
    bool takeJob(Job *job, bool *streaming);

    GatedServer &m_owner;
    const Limits &m_limits;
    std::atomic<bool> m_stopping { false };
    int m_wake = -1;
    std::thread m_reader;

    std::mutex m_inboxLock;
    std::vector<int> m_inbox;

    std::map<int, Pending> m_pending; // reading thread only
    std::map<std::string, int> m_pendingByAddress;
    std::deque<Pending> m_waiting; // accepted beyond the limits, not read yet, oldest first
    std::map<std::string, int> m_waitingByAddress;

    std::mutex m_jobsLock;
    std::condition_variable m_jobsChanged;
    std::deque<Job> m_ready;
    std::deque<Job> m_streaming;
    int m_streamingActive = 0;
    std::vector<std::thread> m_workers;
};

void GatedServer::Gate::start()
{
    m_stopping = false;
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_reader = std::thread([this] { readLoop(); });
    for (int i = 0; i < m_limits.workers; ++i)
        m_workers.emplace_back([this] { workLoop(); });
}

void GatedServer::Gate::stop()
{
    if (!m_reader.joinable())
        return;
    m_stopping = true;
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    m_reader.join();
    {
        std::lock_guard guard(m_inboxLock);
        for (const int fd : m_inbox)
            ::close(fd);
        m_inbox.clear();
    }
    {
        std::lock_guard guard(m_jobsLock);
        m_jobsChanged.notify_all();
    }
    for (std::thread &worker : m_workers)
        worker.join();
    m_workers.clear();
    ::close(m_wake);
    m_wake = -1;
}

void GatedServer::Gate::adopt(int fd)
{
    {
        std::lock_guard guard(m_inboxLock);
        m_inbox.push_back(fd);
    }
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
}

// A new connection enters at once while its address and the gate have room. Otherwise it waits
// (unread, a bounded number of them) until the reading thread has read what the other connections
// already sent: a connection whose headers are complete no longer counts, so the limits are judged
// on what has arrived, not on how soon this thread got to it.
void GatedServer::Gate::takeNew()
{
    std::vector<int> fds;
    {
        std::lock_guard guard(m_inboxLock);
        fds.swap(m_inbox);
    }
    const qint64 now = nowMs();
    const int waitingPerAddress = std::max(1, m_limits.pendingPerAddress / 4);
    const size_t waitingTotal = size_t(std::max(1, m_limits.pendingTotal / 4));
    for (const int fd : fds) {
        Pending p;
        p.job.fd = fd;
        p.job.remote = addressOf(fd, true);
        p.deadline = now + m_limits.headerTimeoutMs;
        p.admitBy = now + m_limits.admissionWaitMs;
        const std::string &address = p.job.remote.first;
        const auto waiting = m_waitingByAddress.find(address);
        const int queued = waiting == m_waitingByAddress.end() ? 0 : waiting->second;
        if (queued == 0 && hasRoom(address)) {
            enter(std::move(p));
        } else if (queued < waitingPerAddress && m_waiting.size() < waitingTotal) {
            ++m_waitingByAddress[address];
            m_waiting.push_back(std::move(p));
        } else {
            turnAway(p);
        }
    }
}

bool GatedServer::Gate::hasRoom(const std::string &address) const
{
    const auto counted = m_pendingByAddress.find(address);
    const int fromThere = counted == m_pendingByAddress.end() ? 0 : counted->second;
    return fromThere < m_limits.pendingPerAddress && int(m_pending.size()) < m_limits.pendingTotal;
}

void GatedServer::Gate::enter(Pending &&p)
{
    ++m_pendingByAddress[p.job.remote.first];
    const int fd = p.job.fd;
    m_pending.emplace(fd, std::move(p));
}

// Lets in the waiting connections that now have room. With refuseExpired (only after a pass that
// read every connection with something to read) those whose wait is over are refused.
void GatedServer::Gate::admitWaiting(qint64 now, bool refuseExpired)
{
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        const bool room = hasRoom(it->job.remote.first);
        if (!room && !(refuseExpired && it->admitBy <= now)) {
            ++it;
            continue;
        }
        if (--m_waitingByAddress[it->job.remote.first] <= 0)
            m_waitingByAddress.erase(it->job.remote.first);
        if (room)
            enter(std::move(*it));
        else
            turnAway(*it);
        it = m_waiting.erase(it);
    }
}

void GatedServer::Gate::turnAway(const Pending &p)
{
    qCInfo(lcServer).noquote() << "too many connections still sending headers; refused"
                               << QString::fromStdString(p.job.remote.first);
    const std::string answer = plainResponse(503, "Service Unavailable", QStringLiteral("连接过多，请稍后重试"));
    ::send(p.job.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(p.job.fd);
}

void GatedServer::Gate::readLoop()
{
    std::vector<pollfd> polled;
    while (!m_stopping) {
        takeNew();
        admitWaiting(nowMs(), false);
        polled.assign(1, pollfd { m_wake, POLLIN, 0 });
        qint64 next = nowMs() + 1000;
        for (const auto &[fd, p] : m_pending) {
            polled.push_back(pollfd { fd, POLLIN, 0 });
            next = std::min(next, p.deadline);
        }
        for (const Pending &p : m_waiting)
            next = std::min(next, p.admitBy);
        if (::poll(polled.data(), polled.size(), int(std::max<qint64>(0, next - nowMs()))) < 0 && errno != EINTR) {
            qCWarning(lcServer) << "the connection gate stopped:" << strerror(errno);
            break;
        }
        quint64 wakes = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_wake, &wakes, sizeof wakes);
        for (size_t i = 1; i < polled.size(); ++i) {
            const auto it = m_pending.find(polled[i].fd);
            if (it != m_pending.end() && polled[i].revents != 0)
                onReadable(it->second);
        }
        const qint64 now = nowMs();
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            Pending &p = (it++)->second;
            if (p.deadline > now)
                continue;
            if (p.closing)
                finish(p.job.fd);
            else
                refuse(p, 408, "Request Timeout", QStringLiteral("请求未能在时限内完整到达，连接已关闭"));
        }
        admitWaiting(now, true);
    }
    for (const auto &[fd, p] : m_pending)
        ::close(fd);
    m_pending.clear();
    m_pendingByAddress.clear();
    for (const Pending &p : m_waiting)
        ::close(p.job.fd);
    m_waiting.clear();
    m_waitingByAddress.clear();
}

void GatedServer::Gate::onReadable(Pending &p)
{
    char buffer[16 * 1024];
    const size_t cap = p.closing ? sizeof buffer
        : p.headEnd == 0         ? size_t(m_limits.maxHeadBytes) + 1 - p.job.data.size()
                                 : p.wanted - p.job.data.size();
    const ssize_t n = ::recv(p.job.fd, buffer, std::min(cap, sizeof buffer), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return finish(p.job.fd);
    if (n < 0)
        return;
    if (p.closing) {
        p.dropped += n;
        if (p.dropped > 1024 * 1024)
            finish(p.job.fd);
        return;
    }
    p.job.data.append(buffer, size_t(n));
    if (p.headEnd == 0)
        return scanHead(p);
    if (p.job.data.size() >= p.wanted)
        dispatch(p);
}

void GatedServer::Gate::scanHead(Pending &p)
{
    const std::string &data = p.job.data;
    for (; p.scanned < data.size(); ++p.scanned) {
        if (data[p.scanned] != '\n')
            continue;
        // Request line, header lines, and the empty line that ends them.
        if (++p.lines > m_limits.maxHeaderLines + 2)
            return refuse(p, 431, "Request Header Fields Too Large",
                QStringLiteral("请求头超过 %1 行，已拒绝").arg(m_limits.maxHeaderLines));
        if (p.scanned >= 3 && data.compare(p.scanned - 3, 4, "\r\n\r\n") == 0) {
            p.headEnd = p.scanned + 1;
            return onHead(p);
        }
    }
    if (qint64(data.size()) > m_limits.maxHeadBytes)
        refuse(p, 431, "Request Header Fields Too Large",
            QStringLiteral("请求头超过 %1 KB，已拒绝").arg(m_limits.maxHeadBytes / 1024));
}

void GatedServer::Gate::onHead(Pending &p)
{
    const HeadInfo head = parseHead(std::string_view(p.job.data).substr(0, p.headEnd));
    const qint64 length = std::max<qint64>(head.contentLength, 0);
    const bool hasBody = head.chunked || head.contentLength != 0;
    p.job.streaming = hasBody
        && (head.chunked || head.expectsContinue || head.contentLength < 0 || length > m_limits.prefetchBytes);
    if (p.job.streaming) {
        const qint64 declared = head.chunked || head.contentLength < 0 ? m_limits.maxBodyBytes : length;
        p.job.deadline = nowMs() + m_limits.requestTimeoutMs + declared * 1000 / m_limits.bodyBytesPerSecond;
        return dispatch(p);
    }
    p.wanted = p.headEnd + size_t(length);
    if (p.job.data.size() >= p.wanted)
        dispatch(p);
}

void GatedServer::Gate::refuse(Pending &p, int status, const char *reason, const QString &text)
{
    qCInfo(lcServer).noquote() << "refused a request from" << QString::fromStdString(p.job.remote.first) << status
                               << "after" << p.job.data.size() << "bytes";
    const std::string answer = plainResponse(status, reason, text);
    ::send(p.job.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(p.job.fd, SHUT_WR);
    // Read on for a moment, so that the answer is not lost to a reset.
    p.closing = true;
    p.deadline = nowMs() + 2000;
    p.job.data = std::string();
}

void GatedServer::Gate::finish(int fd)
{
    const auto it = m_pending.find(fd);
    if (it == m_pending.end())
        return;
    if (--m_pendingByAddress[it->second.job.remote.first] <= 0)
        m_pendingByAddress.erase(it->second.job.remote.first);
    ::close(fd);
    m_pending.erase(it);
}

void GatedServer::Gate::dispatch(Pending &p)
{
    const int fd = p.job.fd;
    const std::string address = p.job.remote.first;
    if (!p.job.streaming)
        p.job.deadline = nowMs() + m_limits.requestTimeoutMs;
    {
        std::lock_guard guard(m_jobsLock);
        (p.job.streaming ? m_streaming : m_ready).push_back(std::move(p.job));
    }
    m_jobsChanged.notify_one();
    // Handed over: the worker closes it.
    if (--m_pendingByAddress[address] <= 0)
        m_pendingByAddress.erase(address);
    m_pending.erase(fd);
}

bool GatedServer::Gate::takeJob(Job *job, bool *streaming)
{
    // A quarter of the workers (at least one) only ever serve requests that arrived whole.
    const int streamingLimit = m_limits.workers > 1 ? m_limits.workers - std::max(1, m_limits.workers / 4) : 1;
    std::unique_lock lock(m_jobsLock);
    m_jobsChanged.wait(lock, [&] {
        return !m_ready.empty() || (!m_streaming.empty() && m_streamingActive < streamingLimit)
            || (m_stopping && m_ready.empty() && m_streaming.empty());
    });
    std::deque<Job> &from = m_ready.empty() ? m_streaming : m_ready;
    if (from.empty())
        return false;
    *streaming = &from == &m_streaming;
    *job = std::move(from.front());
    from.pop_front();
    if (*streaming)
        ++m_streamingActive;
    return true;
}

void GatedServer::Gate::workLoop()
{
    Job job;
    bool streaming = false;
    while (takeJob(&job, &streaming)) {
        m_owner.serve(job);
        if (streaming) {
            std::lock_guard guard(m_jobsLock);
            --m_streamingActive;
            m_jobsChanged.notify_all();
        }
    }
}

// Runs tasks at once on cpp-httplib's listening thread; its listening loop starts and ends the gate.
class GatedServer::Queue final : public httplib::TaskQueue
{
public:
    explicit Queue(Gate &gate)
        : m_gate(gate)
    {
        m_gate.start();
    }
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override { m_gate.stop(); }

private:
    Gate &m_gate;
};

GatedServer::GatedServer(const Limits &limits)
    : m_limits(limits)
    , m_gate(std::make_unique<Gate>(*this, m_limits))
{
    new_task_queue = [this] { return new Queue(*m_gate); };
    set_keep_alive_max_count(1);
}

GatedServer::~GatedServer()
{
    m_gate->stop();
}

bool GatedServer::widenBacklog()
{
    return ::listen(svr_sock_, SOMAXCONN) == 0;
}

bool GatedServer::process_and_close_socket(socket_t sock)
{
    m_gate->adopt(sock);
    return true;
}

void GatedServer::serve(Job &job)
{
    GateStream stream(job.fd, std::move(job.data), job.remote, job.deadline, m_limits, m_gate->stopping());
    bool closed = false;
    process_request(stream, true, closed, nullptr);
    ::shutdown(job.fd, SHUT_RDWR);
    ::close(job.fd);
    job = Job();
}
