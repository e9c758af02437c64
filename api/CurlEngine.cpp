#include "api/CurlEngine.h"

#include "api/Logging.h"
#include "api/ReplyBody.h"
#include "api/SystemProxy.h"
#include "app/LogMask.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <QUrl>

#include <curl/curl.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// Files and bodies

FileHandle::~FileHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::shared_ptr<FileHandle> FileHandle::open(const QString &path, qint64 *size)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto handle = std::make_shared<FileHandle>(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (size)
        *size = info.st_size;
    return handle;
}

void BodyLayout::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (!m_segments.empty() && !m_segments.back().file)
        m_segments.back().bytes.append(bytes);
    else
        m_segments.push_back(BodySegment{bytes, nullptr, 0});
    m_size += bytes.size();
}

void BodyLayout::appendFile(std::shared_ptr<FileHandle> file, qint64 length)
{
    if (length <= 0)
        return;
    m_segments.push_back(BodySegment{QByteArray(), std::move(file), length});
    m_size += length;
}

QByteArray BodyLayout::toByteArray() const
{
    QByteArray out;
    for (const BodySegment &segment : m_segments) {
        if (!segment.file) {
            out += segment.bytes;
            continue;
        }
        QByteArray chunk(segment.length, Qt::Uninitialized);
        const ssize_t n = ::pread(segment.file->fd(), chunk.data(), size_t(segment.length), 0);
        chunk.truncate(n < 0 ? 0 : n);
        out += chunk;
    }
    return out;
}

void TransferReceiver::transferProgress(qint64, qint64) {}

// ---------------------------------------------------------------------------------------------
// The network thread

namespace {

constexpr long kUploadBufferSize = 512 * 1024;
constexpr qint64 kMaxHeaderBytes = 1024 * 1024;

bool sameName(const QByteArray &a, const char *b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307;
}

bool cookieMatches(const HttpCookie &cookie, const QUrl &url, const QDateTime &now)
{
    if (cookie.expiry.isValid() && cookie.expiry <= now)
        return false;
    const QString host = url.host().toLower();
    QString domain = cookie.domain.toLower();
    if (domain.startsWith(u'.')) {
        domain.remove(0, 1);
        if (host != domain && !host.endsWith(u'.' + domain))
            return false;
    } else if (!domain.isEmpty() && host != domain) {
        return false;
    }
    const QString path = url.path().isEmpty() ? u"/"_s : url.path();
    return cookie.path.isEmpty() || path.startsWith(cookie.path);
}

bool hasLineBreak(const QByteArray &text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

} // namespace

struct Transfer
{
    CurlEngine::Loop *loop = nullptr;
    quint64 id = 0;
    TransferPlan plan;
    CURL *easy = nullptr;
    curl_slist *headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // The current exchange (a redirect starts another one).
    QByteArray url;
    bool post = false;
    QList<std::pair<QByteArray, QByteArray>> headers;
    bool sendCookies = true;
    int redirects = 0;
    bool holdsFormSlot = false;

    // Body reading.
    size_t segment = 0;
    qint64 segmentOffset = 0;
    qint64 firstWrite = -1;

    // Reply.
    int status = 0;
    QByteArray contentType;
    QByteArray contentEncoding;
    QByteArray location;
    qint64 headerBytes = 0;
    bool bodyStarted = false;
    qint64 discarded = 0;
    std::unique_ptr<ReplyBody> reply;
    QString abortReason;

    // Progress and the no-progress watchdog.
    Clock::time_point lastActivity;
    curl_off_t lastUp = -1;
    curl_off_t lastDown = -1;
    curl_off_t upNow = 0;
    qint64 reportedSent = -1;

    ~Transfer()
    {
        if (easy)
            curl_easy_cleanup(easy);
        if (headerList)
            curl_slist_free_all(headerList);
    }

    bool followsThisReply() const
    {
        return plan.followRedirects && isRedirect(status) && !location.isEmpty();
    }
};

class CurlEngine::Loop
{
public:
    explicit Loop(CurlEngine *engine);
    ~Loop();

    void add(std::unique_ptr<Transfer> transfer);
    void cancel(quint64 id);
    void postProgress(Transfer *transfer);

private:
    struct Command
    {
        enum class Type { Add, Cancel } type;
        std::unique_ptr<Transfer> transfer;
        quint64 id = 0;
    };

    void run();
    void push(Command command);
    void handleAdd(std::unique_ptr<Transfer> transfer);
    void handleCancel(quint64 id);
    void activate(Transfer *transfer);
    bool configure(Transfer *transfer);
    void onDone(Transfer *transfer, CURLcode code);
    bool startRedirect(Transfer *transfer);
    void finish(Transfer *transfer, TransferResult result);
    void release(Transfer *transfer);
    void startWaiting();
    void checkWatchdogs();
    void postResult(quint64 id, TransferResult result);

    CurlEngine *m_engine;
    CURLM *m_multi = nullptr;
    std::thread m_thread;
    std::mutex m_mutex; // guards m_inbox and m_stopping
    std::deque<Command> m_inbox;
    bool m_stopping = false;

    // Network thread only.
    std::list<std::unique_ptr<Transfer>> m_transfers; // active and waiting
    std::deque<Transfer *> m_waiting;                 // form exchanges beyond the limit
    int m_activeForms = 0;
};

namespace {

// What a caller can do about a libcurl error: only a refused or broken connection and a time-out
// are worth another try.
TransferFailure failureOf(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        return TransferFailure::ConnectionRefused;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return TransferFailure::ConnectionReset;
    case CURLE_OPERATION_TIMEDOUT:
        return TransferFailure::TimedOut;
    default:
        return TransferFailure::Other;
    }
}

size_t readBody(char *buffer, size_t size, size_t count, void *data)
{
    auto *t = static_cast<Transfer *>(data);
    const auto &segments = t->plan.body->segments();
    const size_t room = size * count;
    size_t written = 0;
    while (written < room && t->segment < segments.size()) {
        const BodySegment &segment = segments[t->segment];
        const qint64 left = segment.size() - t->segmentOffset;
        if (left <= 0) {
            ++t->segment;
            t->segmentOffset = 0;
            continue;
        }
        size_t n = std::min<size_t>(room - written, size_t(left));
        if (segment.file) {
            const ssize_t got = ::pread(segment.file->fd(), buffer + written, n, t->segmentOffset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                // The file shrank or became unreadable after its length went into the headers.
                t->abortReason = got < 0 ? u"The attached file could not be read"_s
                                         : u"The attached file changed while it was being sent"_s;
                return CURL_READFUNC_ABORT;
            }
            n = size_t(got);
        } else {
            std::memcpy(buffer + written, segment.bytes.constData() + t->segmentOffset, n);
        }
        written += n;
        t->segmentOffset += qint64(n);
    }
    if (t->firstWrite < 0)
        t->firstWrite = qint64(written);
    t->lastActivity = Clock::now();
    return written;
}

int seekBody(void *data, curl_off_t offset, int origin)
{
    auto *t = static_cast<Transfer *>(data);
    if (origin != SEEK_SET || offset < 0 || offset > t->plan.body->size())
        return CURL_SEEKFUNC_CANTSEEK;
    const auto &segments = t->plan.body->segments();
    t->segment = 0;
    t->segmentOffset = 0;
    qint64 left = offset;
    while (t->segment < segments.size() && left >= segments[t->segment].size()) {
        left -= segments[t->segment].size();
        ++t->segment;
    }
    t->segmentOffset = left;
    return CURL_SEEKFUNC_OK;
}

size_t readHeader(char *buffer, size_t size, size_t count, void *data)
{
    auto *t = static_cast<Transfer *>(data);
    const size_t n = size * count;
    t->lastActivity = Clock::now();
    t->headerBytes += qint64(n);
    if (t->headerBytes > kMaxHeaderBytes) {
        t->abortReason = u"The reply headers are too large"_s;
        return 0;
    }
    const QByteArray line = QByteArray(buffer, qsizetype(n)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new reply begins (an interim 1xx reply, or the final one).
        const QList<QByteArray> parts = line.split(' ');
        t->status = parts.size() > 1 ? parts.at(1).toInt() : 0;
        t->contentType.clear();
        t->contentEncoding.clear();
        t->location.clear();
        t->bodyStarted = false;
        return n;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return n;
    const QByteArray name = line.left(colon).trimmed();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (sameName(name, "Content-Type"))
        t->contentType = value;
    else if (sameName(name, "Content-Encoding"))
        t->contentEncoding = value;
    else if (sameName(name, "Location"))
        t->location = value;
    return n;
}

size_t writeBody(char *data, size_t size, size_t count, void *userData)
{
    auto *t = static_cast<Transfer *>(userData);
    const size_t n = size * count;
    t->lastActivity = Clock::now();
    if (!t->bodyStarted) {
        t->bodyStarted = true;
        t->discarded = 0;
        t->reply->reset(t->contentEncoding.toLower().contains("gzip"));
    }
    if (t->followsThisReply()) {
        // The body of a redirect is not read, only counted against the cap.
        t->discarded += qint64(n);
        if (t->discarded > t->plan.maxReplyBytes) {
            t->abortReason = u"The reply is larger than %1 bytes"_s.arg(t->plan.maxReplyBytes);
            return 0;
        }
        return n;
    }
    if (!t->reply->append(data, qsizetype(n))) {
        t->abortReason = t->reply->error();
        return 0;
    }
    return n;
}

int onProgress(void *data, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow)
{
    auto *t = static_cast<Transfer *>(data);
    if (downNow != t->lastDown || upNow != t->lastUp) {
        t->lastDown = downNow;
        t->lastUp = upNow;
        t->lastActivity = Clock::now();
    }
    t->upNow = upNow;
    if (t->plan.progress && upNow != t->reportedSent) {
        t->reportedSent = upNow;
        t->plan.progress->sent.store(upNow);
        if (!t->plan.progress->pending.exchange(true))
            t->loop->postProgress(t);
    }
    return 0;
}

} // namespace

CurlEngine::Loop::Loop(CurlEngine *engine) : m_engine(engine)
{
    m_multi = curl_multi_init();
    m_thread = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "quillo-network");
        run();
    });
}

CurlEngine::Loop::~Loop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    curl_multi_wakeup(m_multi);
    m_thread.join();
    for (auto &transfer : m_transfers) {
        if (transfer->easy)
            curl_multi_remove_handle(m_multi, transfer->easy);
    }
    m_transfers.clear();
    curl_multi_cleanup(m_multi);
}

void CurlEngine::Loop::push(Command command)
{
    {
        std::lock_guard lock(m_mutex);
        m_inbox.push_back(std::move(command));
    }
    curl_multi_wakeup(m_multi);
}

void CurlEngine::Loop::add(std::unique_ptr<Transfer> transfer)
{
    push(Command{Command::Type::Add, std::move(transfer), 0});
}

void CurlEngine::Loop::cancel(quint64 id)
{
    push(Command{Command::Type::Cancel, nullptr, id});
}

void CurlEngine::Loop::run()
{
    for (;;) {
        std::deque<Command> commands;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            commands.swap(m_inbox);
        }
        for (Command &command : commands) {
            if (command.type == Command::Type::Add)
                handleAdd(std::move(command.transfer));
            else
                handleCancel(command.id);
        }
        int running = 0;
        curl_multi_perform(m_multi, &running);
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            Transfer *transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            onDone(transfer, message->data.result);
        }
        checkWatchdogs();
        // The watchdog looks every 100 ms while anything runs; libcurl shortens the wait when a
        // timer of its own is due sooner, and a command wakes the poll at once.
        const int waitMs = m_transfers.empty() ? 60 * 1000 : 100;
        curl_multi_poll(m_multi, nullptr, 0, waitMs, nullptr);
    }
}

void CurlEngine::Loop::handleAdd(std::unique_ptr<Transfer> transfer)
{
    Transfer *t = transfer.get();
    m_transfers.push_back(std::move(transfer));
    if (t->plan.kind == TransferPlan::Kind::Form && m_activeForms >= kMaxFormExchanges) {
        m_waiting.push_back(t);
        return;
    }
    activate(t);
}

void CurlEngine::Loop::activate(Transfer *t)
{
    if (t->plan.kind == TransferPlan::Kind::Form) {
        ++m_activeForms;
        t->holdsFormSlot = true;
    }
    t->url = t->plan.url;
    t->post = t->plan.post;
    t->headers = t->plan.headers;
    t->easy = curl_easy_init();
    if (!t->easy || !configure(t)) {
        TransferResult result;
        result.error = u"The request could not be set up"_s;
        finish(t, std::move(result));
        return;
    }
    curl_multi_add_handle(m_multi, t->easy);
}

namespace {

// The Cookie line of an exchange: the plan's cookies that match its address, or nothing.
QByteArray cookieLine(const Transfer &t)
{
    QByteArray line;
    if (!t.sendCookies || t.plan.cookies.isEmpty())
        return line;
    const QUrl url = QUrl::fromEncoded(t.url);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const HttpCookie &cookie : t.plan.cookies) {
        const QByteArray name = cookie.name.toUtf8();
        const QByteArray value = cookie.value.toUtf8();
        if (name.isEmpty() || hasLineBreak(name) || hasLineBreak(value) || !cookieMatches(cookie, url, now))
            continue;
        line += QByteArray(line.isEmpty() ? "Cookie: " : "; ") + name + '=' + value;
    }
    return line;
}

// The header lines, in order; the Cookie line goes before the body's headers.
QList<QByteArray> headerLines(const Transfer &t)
{
    QList<QByteArray> lines;
    QByteArray cookies = cookieLine(t);
    bool hasAccept = false;
    for (const auto &[name, value] : std::as_const(t.headers)) {
        if (name.isEmpty() || hasLineBreak(name) || hasLineBreak(value) || name.contains(':'))
            continue; // never let a caller's text break the header block
        if (!cookies.isEmpty() && sameName(name, "Content-Type")) {
            lines.append(cookies);
            cookies.clear();
        }
        hasAccept = hasAccept || sameName(name, "Accept");
        // "Name;" is libcurl's way of sending a header with an empty value.
        lines.append(value.isEmpty() ? QByteArray(name + ';') : QByteArray(name + ": " + value));
    }
    if (!cookies.isEmpty())
        lines.append(cookies);
    // Suppress the headers libcurl would add on its own.
    if (!hasAccept)
        lines.append("Accept:");
    lines.append("Expect:");
    return lines;
}

// Sets libcurl options one after the other; ok() tells whether every one was taken.
class EasyOptions
{
public:
    explicit EasyOptions(CURL *easy) : m_easy(easy) { }

    template<typename Value>
    void set(CURLoption option, Value value)
    {
        m_ok = m_ok && curl_easy_setopt(m_easy, option, value) == CURLE_OK;
    }
    bool ok() const { return m_ok; }

private:
    CURL *m_easy;
    bool m_ok = true;
};

void setCommonOptions(EasyOptions &options, Transfer *t)
{
    options.set(CURLOPT_URL, t->url.constData());
    options.set(CURLOPT_PROTOCOLS_STR, "http,https");
    options.set(CURLOPT_PRIVATE, static_cast<void *>(t));
    options.set(CURLOPT_NOSIGNAL, 1L);
    options.set(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    options.set(CURLOPT_ERRORBUFFER, t->errorBuffer);
    options.set(CURLOPT_FOLLOWLOCATION, 0L);
    options.set(CURLOPT_HTTP_CONTENT_DECODING, 0L); // gzip is inflated by ReplyBody, under its cap
    options.set(CURLOPT_HEADERFUNCTION, &readHeader);
    options.set(CURLOPT_HEADERDATA, static_cast<void *>(t));
    options.set(CURLOPT_WRITEFUNCTION, &writeBody);
    options.set(CURLOPT_WRITEDATA, static_cast<void *>(t));
    options.set(CURLOPT_NOPROGRESS, 0L);
    options.set(CURLOPT_XFERINFOFUNCTION, &onProgress);
    options.set(CURLOPT_XFERINFODATA, static_cast<void *>(t));
    options.set(CURLOPT_HTTPHEADER, t->headerList);
    // The proxy variables are libcurl's own business; the desktop's settings are passed on.
    if (const std::optional<SystemProxy::Proxy> proxy = SystemProxy::forUrl(t->url)) {
        options.set(CURLOPT_PROXY, proxy->url.constData());
        if (!proxy->user.isEmpty()) {
            options.set(CURLOPT_PROXYUSERNAME, proxy->user.constData());
            options.set(CURLOPT_PROXYPASSWORD, proxy->password.constData());
        }
    }
}

void setBodyOptions(EasyOptions &options, Transfer *t)
{
    if (!t->post || !t->plan.body) {
        options.set(CURLOPT_HTTPGET, 1L);
        return;
    }
    options.set(CURLOPT_POST, 1L);
    options.set(CURLOPT_READFUNCTION, &readBody);
    options.set(CURLOPT_READDATA, static_cast<void *>(t));
    options.set(CURLOPT_SEEKFUNCTION, &seekBody);
    options.set(CURLOPT_SEEKDATA, static_cast<void *>(t));
    options.set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t->plan.body->size()));
    options.set(CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
    if (t->plan.kind == TransferPlan::Kind::Upload) {
        // libcurl silently sends a request again when a reused connection turns out dead; for
        // a package that is a hidden second upload. A fresh connection each time: every try
        // is one the caller made and counted.
        options.set(CURLOPT_FRESH_CONNECT, 1L);
        options.set(CURLOPT_FORBID_REUSE, 1L);
    }
}

// What an exchange has read and reported so far, back to nothing (a redirect starts anew).
void resetExchange(Transfer *t)
{
    t->segment = 0;
    t->segmentOffset = 0;
    t->firstWrite = -1;
    t->status = 0;
    t->contentType.clear();
    t->contentEncoding.clear();
    t->location.clear();
    t->headerBytes = 0;
    t->bodyStarted = false;
    t->reply->reset(false);
    t->lastUp = -1;
    t->lastDown = -1;
    t->upNow = 0;
    t->lastActivity = Clock::now();
}

} // namespace

bool CurlEngine::Loop::configure(Transfer *t)
{
    curl_easy_reset(t->easy);
    if (t->headerList) {
        curl_slist_free_all(t->headerList);
        t->headerList = nullptr;
    }
    for (const QByteArray &line : headerLines(*t)) {
        curl_slist *next = curl_slist_append(t->headerList, line.constData());
        if (!next)
            return false;
        t->headerList = next;
    }
    EasyOptions options(t->easy);
    setCommonOptions(options, t);
    setBodyOptions(options, t);
    resetExchange(t);
    return options.ok();
}

void CurlEngine::Loop::onDone(Transfer *t, CURLcode code)
{
    curl_multi_remove_handle(m_multi, t->easy);
    TransferResult result;
    curl_off_t sent = 0;
    curl_easy_getinfo(t->easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    result.bytesSent = sent;
    if (code != CURLE_OK) {
        result.error = !t->abortReason.isEmpty() ? t->abortReason
                       : t->errorBuffer[0]       ? QString::fromUtf8(t->errorBuffer)
                                                 : QString::fromUtf8(curl_easy_strerror(code));
        result.failure = t->abortReason.isEmpty() ? failureOf(code) : TransferFailure::Other;
        finish(t, std::move(result));
        return;
    }
    if (t->followsThisReply()) {
        if (++t->redirects > 5) {
            result.error = u"The request failed because it redirected too many times"_s;
            finish(t, std::move(result));
        } else if (!startRedirect(t)) {
            result.error = u"The request was redirected to an address that cannot be followed"_s;
            finish(t, std::move(result));
        }
        return;
    }
    if (!t->bodyStarted)
        t->reply->reset(false);
    if (!t->reply->finish()) {
        result.error = t->reply->error();
        finish(t, std::move(result));
        return;
    }
    result.completed = true;
    result.status = t->status;
    result.contentType = t->contentType;
    result.body = t->reply->take();
    result.url = t->url;
    finish(t, std::move(result));
}

// Redirect rules of API calls: 307 repeats the method, body, headers and cookies within the
// origin, and repeats a request without body elsewhere without cookies; 301, 302 and 303
// continue as a GET without body that keeps only the User-Agent and Accept headers (and the
// request's own Accept-Encoding, which belongs to its "accept gzip" setting) and no cookies.
// The Host line goes with the old address unless the new one has the same authority.
bool CurlEngine::Loop::startRedirect(Transfer *t)
{
    const QUrl current = QUrl::fromEncoded(t->url);
    const QUrl next = current.resolved(QUrl::fromEncoded(t->location));
    if (!CurlEngine::mayFollowRedirect(current, next, t->status, t->post && t->plan.body)) {
        qCDebug(lcApi).noquote() << "redirect" << t->status << "to" << LogMask::maskedText(next.toString())
                                  << "refused";
        return false;
    }
    const bool sameAuthority = next.authority() == current.authority() && next.scheme() == current.scheme();
    QList<std::pair<QByteArray, QByteArray>> kept;
    if (t->status == 307) {
        t->sendCookies = t->sendCookies && CurlEngine::sameOrigin(current, next);
        for (const auto &header : std::as_const(t->headers)) {
            if (sameAuthority || !sameName(header.first, "Host"))
                kept.append(header);
        }
    } else {
        t->post = false;
        t->sendCookies = false;
        for (const auto &header : std::as_const(t->headers)) {
            if (sameName(header.first, "User-Agent") || sameName(header.first, "Accept")
                || sameName(header.first, "Accept-Encoding"))
                kept.append(header);
        }
    }
    t->headers = kept;
    t->url = next.toEncoded();
    qCDebug(lcApi).noquote() << "redirect" << t->status << "to" << LogMask::maskedText(next.toString());
    if (!configure(t))
        return false;
    curl_multi_add_handle(m_multi, t->easy);
    return true;
}

void CurlEngine::Loop::finish(Transfer *t, TransferResult result)
{
    if (!result.completed && result.failure == TransferFailure::None)
        result.failure = TransferFailure::Other;
    if (t->plan.progress && result.completed && result.bytesSent != t->reportedSent) {
        // The last count, so that a finished upload reports its whole body before completing.
        t->reportedSent = result.bytesSent;
        t->plan.progress->sent.store(result.bytesSent);
        if (!t->plan.progress->pending.exchange(true))
            postProgress(t);
    }
    postResult(t->id, std::move(result));
    release(t);
}

void CurlEngine::Loop::release(Transfer *t)
{
    if (t->holdsFormSlot)
        --m_activeForms;
    std::erase(m_waiting, t);
    m_transfers.remove_if([t](const std::unique_ptr<Transfer> &p) { return p.get() == t; });
    startWaiting();
}

void CurlEngine::Loop::startWaiting()
{
    while (m_activeForms < kMaxFormExchanges && !m_waiting.empty()) {
        Transfer *next = m_waiting.front();
        m_waiting.pop_front();
        activate(next);
    }
}

void CurlEngine::Loop::handleCancel(quint64 id)
{
    for (auto &transfer : m_transfers) {
        if (transfer->id != id)
            continue;
        if (transfer->easy)
            curl_multi_remove_handle(m_multi, transfer->easy);
        release(transfer.get());
        return;
    }
}

void CurlEngine::Loop::checkWatchdogs()
{
    const auto now = Clock::now();
    std::vector<Transfer *> expired;
    for (auto &transfer : m_transfers) {
        Transfer *t = transfer.get();
        if (!t->easy)
            continue; // waiting for a free slot
        auto allowance = std::chrono::duration_cast<Clock::duration>(t->plan.timeout);
        // Until the body is confirmed sent beyond what the first write handed over, the peer
        // may still be taking it in: half as long again.
        const bool bodyUnconfirmed = t->post && t->plan.body && (t->firstWrite < 0 || t->upNow <= t->firstWrite);
        if (t->plan.extendedUntilBodySent && bodyUnconfirmed)
            allowance = allowance * 3 / 2;
        if (now - t->lastActivity > allowance)
            expired.push_back(t);
    }
    for (Transfer *t : expired) {
        curl_multi_remove_handle(m_multi, t->easy);
        TransferResult result;
        result.error = u"The request timed out"_s;
        result.failure = TransferFailure::TimedOut;
        qCDebug(lcApi).noquote() << "no progress for" << t->plan.timeout.count()
                                  << "ms:" << LogMask::maskedText(QString::fromUtf8(t->url));
        finish(t, std::move(result));
    }
}

void CurlEngine::Loop::postProgress(Transfer *t)
{
    CurlEngine *engine = m_engine;
    const quint64 id = t->id;
    std::shared_ptr<ProgressChannel> channel = t->plan.progress;
    const qint64 total = t->plan.body ? t->plan.body->size() : 0;
    QMetaObject::invokeMethod(
        engine, [engine, id, channel, total] { engine->deliverProgress(id, channel, total); }, Qt::QueuedConnection);
}

void CurlEngine::Loop::postResult(quint64 id, TransferResult result)
{
    CurlEngine *engine = m_engine;
    auto shared = std::make_shared<TransferResult>(std::move(result));
    QMetaObject::invokeMethod(
        engine, [engine, id, shared] { engine->deliverResult(id, std::move(*shared)); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// The main-thread side

namespace {
CurlEngine *g_engine = nullptr;
bool g_shutDown = false;
std::once_flag g_curlInit;
} // namespace

CurlEngine::CurlEngine()
{
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_loop = std::make_unique<Loop>(this);
}

CurlEngine::~CurlEngine()
{
    m_loop.reset();
}

CurlEngine *CurlEngine::instance()
{
    if (g_engine || g_shutDown)
        return g_engine;
    if (!QCoreApplication::instance()) {
        qCWarning(lcApi) << "HTTP exchanges need an application object";
        return nullptr;
    }
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
    g_engine = new CurlEngine;
    qAddPostRoutine(&CurlEngine::shutdown);
    return g_engine;
}

void CurlEngine::shutdown()
{
    g_shutDown = true;
    delete std::exchange(g_engine, nullptr);
}

bool CurlEngine::sameOrigin(const QUrl &a, const QUrl &b)
{
    const QString scheme = a.scheme().toLower();
    const int defaultPort = scheme == u"https"_s ? 443 : 80;
    return scheme == b.scheme().toLower() && a.host().toLower() == b.host().toLower()
           && a.port(defaultPort) == b.port(defaultPort);
}

bool CurlEngine::mayFollowRedirect(const QUrl &from, const QUrl &to, int status, bool resendsBody)
{
    const QString scheme = to.scheme().toLower();
    if (!to.isValid() || (scheme != u"http"_s && scheme != u"https"_s) || to.host().isEmpty())
        return false;
    if (from.scheme().toLower() == u"https"_s && scheme != u"https"_s)
        return false;
    return !(status == 307 && resendsBody && !sameOrigin(from, to));
}

quint64 CurlEngine::submit(TransferPlan plan, TransferReceiver *receiver)
{
    const quint64 id = m_nextId++;
    auto transfer = std::make_unique<Transfer>();
    transfer->loop = m_loop.get();
    transfer->id = id;
    transfer->reply = std::make_unique<ReplyBody>(plan.maxReplyBytes);
    transfer->plan = std::move(plan);
    m_receivers.insert(id, receiver);
    m_loop->add(std::move(transfer));
    return id;
}

void CurlEngine::cancel(quint64 id)
{
    if (m_receivers.remove(id))
        m_loop->cancel(id);
}

void CurlEngine::deliverProgress(quint64 id, const std::shared_ptr<ProgressChannel> &channel, qint64 total)
{
    channel->pending.store(false);
    const qint64 sent = channel->sent.load();
    if (TransferReceiver *receiver = m_receivers.value(id))
        receiver->transferProgress(sent, total);
}

void CurlEngine::deliverResult(quint64 id, TransferResult result)
{
    TransferReceiver *receiver = m_receivers.take(id);
    if (receiver)
        receiver->transferFinished(std::move(result));
}
