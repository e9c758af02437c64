// The crushed PNG of iOS build tools, decoded into an ordinary PNG (IconImage::decodeCrushed).
//
// The format, as those tools write it:
//  - the PNG signature, then a four-byte critical chunk "CgBI" before IHDR;
//  - IHDR as usual (8-bit RGBA or RGB in practice; interlacing allowed);
//  - the IDAT chunks together hold one raw deflate stream: no zlib header, no Adler-32;
//  - the rows carry the ordinary PNG filters;
//  - pixels are stored blue first (BGRA, BGR), and colour is premultiplied by alpha.
// Filters work byte by byte between bytes of the same channel, so swapping channels before or
// after undoing them gives the same pixels.

#include "inspect/IconImage.h"

#include <QList>

#include <zlib.h>

#include <array>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

struct ImageHeader
{
    quint32 width = 0;
    quint32 height = 0;
    int bitDepth = 0;
    int colourType = 0;
    int interlace = 0;
    QByteArray chunk; // the IHDR data as stored
};

struct Parsed
{
    ImageHeader header;
    QByteArray data; // the IDAT chunks joined
    QList<std::pair<QByteArray, QByteArray>> palette; // PLTE and tRNS, for a colour type passed through
};

// One pass of the image: all of it, or one of the seven of Adam7.
struct Pass
{
    quint32 x0, y0, dx, dy;
};
constexpr std::array<Pass, 7> Adam7 { { { 0, 0, 8, 8 }, { 4, 0, 8, 8 }, { 0, 4, 4, 8 }, { 2, 0, 4, 4 }, { 0, 2, 2, 4 },
    { 1, 0, 2, 2 }, { 0, 1, 1, 2 } } };
constexpr Pass Whole { 0, 0, 1, 1 };
// The rows of the largest RGBA image allowed; 16-bit images of that size are refused.
constexpr quint64 MaxRawBytes = quint64(IconImage::MaxSide) * (1 + 4 * quint64(IconImage::MaxSide));

quint32 passWidth(const ImageHeader &h, const Pass &p)
{
    return h.width > p.x0 ? (h.width - p.x0 + p.dx - 1) / p.dx : 0;
}
quint32 passHeight(const ImageHeader &h, const Pass &p)
{
    return h.height > p.y0 ? (h.height - p.y0 + p.dy - 1) / p.dy : 0;
}

quint32 bigEndian32(const char *p)
{
    const auto *u = reinterpret_cast<const uchar *>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

int channelsOf(int colourType)
{
    switch (colourType) {
    case 0:
    case 3:
        return 1;
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 0;
    }
}

bool validDepth(int colourType, int depth)
{
    switch (colourType) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

quint64 rowBytes(const ImageHeader &h, quint32 width)
{
    return (quint64(width) * quint64(channelsOf(h.colourType) * h.bitDepth) + 7) / 8;
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

bool readHeaderChunk(const char *data, quint32 length, ImageHeader *h, QString *error)
{
    if (length != 13)
        return fail(error, u"an IHDR chunk of %1 bytes"_s.arg(length));
    h->width = bigEndian32(data);
    h->height = bigEndian32(data + 4);
    h->bitDepth = uchar(data[8]);
    h->colourType = uchar(data[9]);
    h->interlace = uchar(data[12]);
    h->chunk = QByteArray(data, 13);
    if (h->width == 0 || h->height == 0 || h->width > IconImage::MaxSide || h->height > IconImage::MaxSide)
        return fail(error, u"an image of %1 × %2 pixels"_s.arg(h->width).arg(h->height));
    if (!validDepth(h->colourType, h->bitDepth) || data[10] != 0 || data[11] != 0 || h->interlace > 1)
        return fail(error, u"an IHDR chunk this format does not allow"_s);
    return true;
}

// Walks the chunks: CgBI first (when crushed), IHDR next, then everything up to IEND. CRCs are
// not checked.
// Takes one chunk, the index-th of the file: the order of the first chunks is checked, the header
// read, the image data and the palette gathered.
bool takeChunk(int index, const QByteArray &type, const char *data, quint32 length, bool crushed, bool *seenHeader,
    Parsed *out, QString *error)
{
    if (crushed && index == 0 && type != "CgBI")
        return fail(error, u"no CgBI chunk before IHDR"_s);
    if (index == (crushed ? 1 : 0) && type != "IHDR")
        return fail(error, u"no IHDR chunk where it belongs"_s);
    if (type == "IHDR") {
        if (*seenHeader)
            return fail(error, u"a second IHDR chunk"_s);
        if (!readHeaderChunk(data, length, &out->header, error))
            return false;
        *seenHeader = true;
    } else if (type == "IDAT") {
        out->data.append(data, length);
    } else if (type == "PLTE" || type == "tRNS") {
        out->palette.append({ type, QByteArray(data, length) });
    }
    return true;
}

bool readChunks(const QByteArray &bytes, Parsed *out, QString *error, bool crushed = true)
{
    qsizetype pos = 8;
    bool seenHeader = false;
    for (int index = 0; pos < bytes.size(); ++index) {
        if (bytes.size() - pos < 12)
            return fail(error, u"a chunk cut off at byte %1"_s.arg(pos));
        const quint32 length = bigEndian32(bytes.constData() + pos);
        if (length > quint64(bytes.size() - pos - 12))
            return fail(error, u"a chunk of %1 bytes where %2 are left"_s.arg(length).arg(bytes.size() - pos - 12));
        const QByteArray type = bytes.mid(pos + 4, 4);
        const char *data = bytes.constData() + pos + 8;
        pos += 12 + qsizetype(length);
        if (!takeChunk(index, type, data, length, crushed, &seenHeader, out, error))
            return false;
        if (type == "IEND")
            break;
    }
    if (!seenHeader || out->data.isEmpty())
        return fail(error, u"no image data"_s);
    return true;
}

quint64 expectedBytes(const ImageHeader &h)
{
    quint64 total = 0;
    const auto passes = h.interlace ? QList<Pass>(Adam7.begin(), Adam7.end()) : QList<Pass> { Whole };
    for (const Pass &p : passes) {
        const quint32 w = passWidth(h, p);
        const quint32 rows = passHeight(h, p);
        if (w && rows)
            total += quint64(rows) * (1 + rowBytes(h, w));
    }
    return total;
}

// Inflates into out (sized to what the image needs) and stops there; false when the stream
// ends early or is corrupt.
bool inflateInto(const QByteArray &data, int windowBits, QByteArray &out)
{
    z_stream stream {};
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    qsizetype inputLeft = data.size();
    qsizetype outputLeft = out.size();
    int result = Z_OK;
    while (result == Z_OK && outputLeft > 0) {
        const uInt in = uInt(qMin<qsizetype>(inputLeft, 1 << 30));
        const uInt room = uInt(qMin<qsizetype>(outputLeft, 1 << 30));
        stream.avail_in = in;
        stream.avail_out = room;
        result = inflate(&stream, Z_NO_FLUSH);
        inputLeft -= in - stream.avail_in;
        outputLeft -= room - stream.avail_out;
        if (result == Z_BUF_ERROR && inputLeft > 0 && stream.avail_out > 0)
            result = Z_OK; // only the 1 GiB slices ran out
    }
    inflateEnd(&stream);
    return outputLeft == 0 && (result == Z_OK || result == Z_STREAM_END);
}

int paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// Undoes the filter of one row in place; previous is the row above in the same pass (or null).
bool unfilterRow(int filter, uchar *row, const uchar *previous, qsizetype length, int bpp)
{
    auto up = [previous](qsizetype i) { return previous ? int(previous[i]) : 0; };
    switch (filter) {
    case 0:
        return true;
    case 1:
        for (qsizetype i = bpp; i < length; ++i)
            row[i] = uchar(row[i] + row[i - bpp]);
        return true;
    case 2:
        for (qsizetype i = 0; previous && i < length; ++i)
            row[i] = uchar(row[i] + previous[i]);
        return true;
    case 3:
        for (qsizetype i = 0; i < length; ++i)
            row[i] = uchar(row[i] + (((i >= bpp ? row[i - bpp] : 0) + up(i)) >> 1));
        return true;
    case 4:
        for (qsizetype i = 0; i < length; ++i) {
            const int left = i >= bpp ? row[i - bpp] : 0;
            row[i] = uchar(row[i] + paeth(left, up(i), i >= bpp ? up(i - bpp) : 0));
        }
        return true;
    default:
        return false;
    }
}

// Undoes every row's filter of every pass, in place; each row's filter byte becomes 0 (none), so
// the rows are valid PNG rows as they stand.
bool unfilter(const ImageHeader &h, QByteArray &raw, QString *error)
{
    const int bpp = qMax(1, channelsOf(h.colourType) * h.bitDepth / 8);
    const auto passes = h.interlace ? QList<Pass>(Adam7.begin(), Adam7.end()) : QList<Pass> { Whole };
    auto *data = reinterpret_cast<uchar *>(raw.data());
    qsizetype pos = 0;
    for (const Pass &p : passes) {
        const quint32 w = passWidth(h, p);
        const quint32 rows = passHeight(h, p);
        if (!w || !rows)
            continue;
        const auto length = qsizetype(rowBytes(h, w));
        const uchar *previous = nullptr;
        for (quint32 y = 0; y < rows; ++y) {
            if (!unfilterRow(data[pos], data + pos + 1, previous, length, bpp))
                return fail(error, u"an unknown row filter %1"_s.arg(data[pos]));
            data[pos] = 0;
            previous = data + pos + 1;
            pos += 1 + length;
        }
    }
    return true;
}

// The unfiltered rows of every pass put together into width × height pixels of channels bytes.
QByteArray assemble(const ImageHeader &h, const QByteArray &raw, int channels)
{
    QByteArray pixels(qsizetype(h.width) * h.height * channels, Qt::Uninitialized);
    char *out = pixels.data();
    const auto passes = h.interlace ? QList<Pass>(Adam7.begin(), Adam7.end()) : QList<Pass> { Whole };
    qsizetype pos = 0;
    for (const Pass &p : passes) {
        const quint32 w = passWidth(h, p);
        const quint32 rows = passHeight(h, p);
        if (!w || !rows)
            continue;
        for (quint32 y = 0; y < rows; ++y) {
            const char *row = raw.constData() + pos + 1;
            char *target = out + (qsizetype(p.y0 + y * p.dy) * h.width) * channels;
            if (p.dx == 1) {
                std::memcpy(target, row, size_t(w) * size_t(channels)); // a whole row at once
            } else {
                for (quint32 x = 0; x < w; ++x)
                    std::memcpy(target + qsizetype(p.x0 + x * p.dx) * channels, row + qsizetype(x) * channels,
                        size_t(channels));
            }
            pos += 1 + qsizetype(w) * channels;
        }
    }
    return pixels;
}

// Blue-first to red-first, and premultiplied colour back to straight colour.
void restoreColour(QByteArray &pixels, int channels)
{
    auto *p = reinterpret_cast<uchar *>(pixels.data());
    const qsizetype count = pixels.size() / channels;
    for (qsizetype i = 0; i < count; ++i, p += channels) {
        std::swap(p[0], p[2]);
        if (channels != 4)
            continue;
        const unsigned alpha = p[3];
        if (alpha == 255)
            continue;
        for (int c = 0; c < 3; ++c)
            p[c] = alpha == 0 ? 0 : uchar(qMin(255u, (p[c] * 255u + alpha / 2) / alpha));
    }
}

// A colour type that is not swapped nor premultiplied: the same (unfiltered) rows with the zlib
// wrapper back.
QByteArray rewrap(const Parsed &parsed, const QByteArray &raw)
{
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    auto chunk = [&png](const QByteArray &type, const QByteArray &data) {
        const quint32 n = quint32(data.size());
        png.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
        const qsizetype start = png.size();
        png.append(type).append(data);
        const auto crc
            = quint32(crc32(0, reinterpret_cast<const Bytef *>(png.constData() + start), uInt(png.size() - start)));
        png.append(char(crc >> 24)).append(char(crc >> 16)).append(char(crc >> 8)).append(char(crc));
    };
    uLongf size = compressBound(uLong(raw.size()));
    QByteArray compressed(qsizetype(size), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef *>(compressed.data()), &size, reinterpret_cast<const Bytef *>(raw.constData()),
            uLong(raw.size()), Z_BEST_SPEED)
        != Z_OK)
        return {};
    compressed.truncate(qsizetype(size));
    chunk("IHDR", parsed.header.chunk);
    for (const auto &[type, data] : parsed.palette)
        chunk(type, data);
    chunk("IDAT", compressed);
    chunk("IEND", QByteArray());
    return png;
}

} // namespace

bool IconImage::checkPng(const QByteArray &bytes, QString *error)
{
    Parsed parsed;
    if (!bytes.startsWith("\x89PNG\r\n\x1a\n") || !readChunks(bytes, &parsed, error, false))
        return false;
    const quint64 expected = expectedBytes(parsed.header);
    if (expected > MaxRawBytes)
        return fail(error, u"an image of %1 bytes once inflated"_s.arg(expected));
    QByteArray raw(qsizetype(expected), Qt::Uninitialized);
    if (!inflateInto(parsed.data, MAX_WBITS, raw))
        return fail(error, u"image data that is cut off or corrupt"_s);
    // Filters are undone only to see that each row names a known one.
    return unfilter(parsed.header, raw, error);
}

QByteArray IconImage::decodeCrushed(const QByteArray &bytes, QString *error)
{
    if (!bytes.startsWith("\x89PNG\r\n\x1a\n")) {
        fail(error, u"not a PNG"_s);
        return {};
    }
    Parsed parsed;
    if (!readChunks(bytes, &parsed, error))
        return {};
    const ImageHeader &h = parsed.header;
    const quint64 expected = expectedBytes(h);
    if (expected > MaxRawBytes) {
        fail(error, u"an image of %1 bytes once inflated"_s.arg(expected));
        return {};
    }
    QByteArray raw(qsizetype(expected), Qt::Uninitialized);
    // Raw deflate as the format says; a stream that kept its zlib wrapper is taken too.
    if (!inflateInto(parsed.data, -MAX_WBITS, raw) && !inflateInto(parsed.data, MAX_WBITS, raw)) {
        fail(error, u"image data that is cut off or corrupt"_s);
        return {};
    }
    if (!unfilter(h, raw, error))
        return {};
    const int channels = channelsOf(h.colourType);
    if (h.bitDepth != 8 || (channels != 3 && channels != 4))
        return rewrap(parsed, raw);
    QByteArray pixels = assemble(h, raw, channels);
    restoreColour(pixels, channels);
    return writePng(h.width, h.height, channels, pixels);
}
