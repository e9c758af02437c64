#pragma once

// Internal to the transports: what the main thread hands to the network thread for one exchange
// and what comes back. Callers use FormRequest and UploadRequest instead.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

// An open file descriptor shared by the body layout of a request and the network thread that
// reads it; closed when the last holder lets go.
class FileHandle final
{
public:
    explicit FileHandle(int fd) : m_fd(fd) {}
    ~FileHandle();
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    int fd() const { return m_fd; }

    // Opens a regular file for reading and reads its size; nullptr when either fails.
    static std::shared_ptr<FileHandle> open(const QString &path, qint64 *size);

private:
    int m_fd;
};

// One piece of a request body: bytes held in memory, or a range of an open file streamed from
// disk when the body is sent.
struct BodySegment
{
    QByteArray bytes;
    std::shared_ptr<FileHandle> file;
    qint64 length = 0; // of the file range (bytes: bytes.size())

    qint64 size() const { return file ? length : bytes.size(); }
};

// A whole request body; adjacent in-memory pieces are merged.
class BodyLayout final
{
public:
    void append(const QByteArray &bytes);
    void appendFile(std::shared_ptr<FileHandle> file, qint64 length);
    qint64 size() const { return m_size; }
    const std::vector<BodySegment> &segments() const { return m_segments; }
    // The body in memory (files read now); for tests and small bodies only.
    QByteArray toByteArray() const;

private:
    std::vector<BodySegment> m_segments;
    qint64 m_size = 0;
};

struct HttpCookie
{
    QString name;
    QString value;
    QString domain; // ".host" matches the host and its subdomains; "host" only the host
    QString path = QStringLiteral("/");
    QDateTime expiry; // invalid: a session cookie
};

// Upload progress handed from the network thread to the main thread. At most one progress
// event is queued at a time: the network thread stores the newest count and queues an event
// only when none is pending; the main thread clears the flag before reading the count.
struct ProgressChannel
{
    std::atomic<qint64> sent{0};
    std::atomic<bool> pending{false};
};

struct TransferPlan
{
    enum class Kind { Form, Upload };
    Kind kind = Kind::Form;
    QByteArray url; // encoded
    bool post = false;
    // Header lines of the first exchange, in order, each "Name: value". The transport adds
    // nothing of its own but the Host line when none is given here.
    QList<std::pair<QByteArray, QByteArray>> headers;
    QList<HttpCookie> cookies;
    std::shared_ptr<const BodyLayout> body; // null for a request without body
    // Form requests: redirects are followed by the transport itself (see CurlEngine.cpp).
    bool followRedirects = false;
    // No-progress time-out; extendedUntilBodySent gives 1.5 times as long until the body is
    // confirmed sent beyond the first write.
    std::chrono::milliseconds timeout{60000};
    bool extendedUntilBodySent = false;
    qint64 maxReplyBytes = 16 * 1024 * 1024;
    std::shared_ptr<ProgressChannel> progress; // uploads only
};

// Why an exchange did not complete, as far as a caller may act on it (retry or not).
enum class TransferFailure {
    None,
    ConnectionRefused, // nobody listens there, or the connection could not be made
    ConnectionReset,   // the connection broke while the request or the reply was under way
    TimedOut,          // nothing moved for the time-out (a stall)
    Other,             // anything else: name resolution, TLS, a reply too large, a body that cannot be read
};

struct TransferResult
{
    // True when a complete HTTP reply arrived (whatever its status).
    bool completed = false;
    QString error; // why it did not complete
    TransferFailure failure = TransferFailure::None; // set when not completed
    int status = 0;
    QByteArray contentType;
    QByteArray body; // inflated when the reply was gzip-encoded, at most maxReplyBytes
    QByteArray url;  // of the last exchange (after redirects)
    qint64 bytesSent = 0;
};
