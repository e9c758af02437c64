#include "api/ReplyBody.h"

#include <zlib.h>

using namespace Qt::StringLiterals;

ReplyBody::ReplyBody(qint64 cap) : m_cap(cap) {}

ReplyBody::~ReplyBody()
{
    if (m_streamReady)
        inflateEnd(m_stream.get());
}

void ReplyBody::reset(bool gzip)
{
    if (m_streamReady) {
        inflateEnd(m_stream.get());
        m_streamReady = false;
    }
    m_received = 0;
    m_gzip = gzip;
    m_streamEnded = false;
    m_sawInput = false;
    m_body.clear();
    m_error.clear();
    if (gzip) {
        m_stream = std::make_unique<z_stream_s>();
        // 16 + MAX_WBITS: a gzip wrapper is expected.
        m_streamReady = inflateInit2(m_stream.get(), 16 + MAX_WBITS) == Z_OK;
        if (!m_streamReady)
            m_error = u"The reply could not be inflated"_s;
    }
}

bool ReplyBody::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool ReplyBody::append(const char *data, qsizetype size)
{
    if (!m_error.isEmpty())
        return false;
    m_received += size;
    if (m_received > m_cap)
        return fail(u"The reply is larger than %1 bytes"_s.arg(m_cap));
    if (!m_gzip) {
        m_body.append(data, size);
        return true;
    }
    if (size > 0)
        m_sawInput = true;
    z_stream_s *z = m_stream.get();
    z->next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    z->avail_in = static_cast<uInt>(size);
    char chunk[64 * 1024];
    for (;;) {
        if (m_streamEnded) {
            if (z->avail_in == 0)
                break;
            // Another gzip member follows the first one.
            if (inflateReset(z) != Z_OK)
                return fail(u"The reply could not be inflated"_s);
            m_streamEnded = false;
        }
        z->next_out = reinterpret_cast<Bytef *>(chunk);
        z->avail_out = sizeof chunk;
        const int status = inflate(z, Z_NO_FLUSH);
        const qsizetype produced = qsizetype(sizeof chunk) - z->avail_out;
        if (m_body.size() + produced > m_cap)
            return fail(u"The inflated reply is larger than %1 bytes"_s.arg(m_cap));
        m_body.append(chunk, produced);
        if (status == Z_STREAM_END) {
            m_streamEnded = true;
            continue;
        }
        if (status == Z_BUF_ERROR)
            break; // no progress possible without more input
        if (status != Z_OK)
            return fail(u"The reply is not valid gzip data"_s);
        if (z->avail_in == 0 && z->avail_out != 0)
            break; // all input consumed and no output pending
    }
    return true;
}

bool ReplyBody::finish()
{
    if (!m_error.isEmpty())
        return false;
    if (m_gzip && m_sawInput && !m_streamEnded)
        return fail(u"The gzip reply ended early"_s);
    return true;
}
