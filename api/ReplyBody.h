#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct z_stream_s;

// Collects a reply body as it arrives, inflating it when it is gzip-encoded, and refuses to
// hold more than a fixed number of bytes: both what arrives on the wire and what inflating it
// yields are capped, so a hostile body (endless, or a gzip bomb) cannot exhaust memory.
class ReplyBody final
{
public:
    explicit ReplyBody(qint64 cap);
    ~ReplyBody();
    ReplyBody(const ReplyBody &) = delete;
    ReplyBody &operator=(const ReplyBody &) = delete;

    // Starts a new body (a new reply of the same request).
    void reset(bool gzip);
    // False when the body is too large or not valid gzip; error() says which.
    bool append(const char *data, qsizetype size);
    // False when a gzip body ended before its stream did.
    bool finish();
    QByteArray take() { return std::exchange(m_body, QByteArray()); }
    const QByteArray &data() const { return m_body; }
    QString error() const { return m_error; }
    qint64 cap() const { return m_cap; }

private:
    bool fail(const QString &error);

    qint64 m_cap;
    qint64 m_received = 0;
    bool m_gzip = false;
    bool m_streamEnded = false;
    bool m_sawInput = false;
    QByteArray m_body;
    QString m_error;
    std::unique_ptr<z_stream_s> m_stream;
    bool m_streamReady = false;
};
