#include "inspect/IconImage.h"

#include <webp/decode.h>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray PngSignature("\x89PNG\r\n\x1a\n", 8);

quint32 bigEndian32(const char *p)
{
    const auto *u = reinterpret_cast<const uchar *>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

void appendBigEndian32(QByteArray &out, quint32 value)
{
    out.append(char(value >> 24)).append(char(value >> 16)).append(char(value >> 8)).append(char(value));
}

std::optional<IconImage::Header> refuse(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

std::optional<IconImage::Header> checkedSize(IconImage::Header header, QString *error)
{
    if (header.width == 0 || header.height == 0)
        return refuse(error, u"an image of no pixels"_s);
    if (header.width > IconImage::MaxSide || header.height > IconImage::MaxSide)
        return refuse(error,
            u"an image of %1 × %2 pixels (at most %3 a side)"_s.arg(header.width)
                .arg(header.height)
                .arg(IconImage::MaxSide));
    return header;
}

std::optional<IconImage::Header> pngHeader(const QByteArray &head, QString *error)
{
    IconImage::Header header;
    qsizetype pos = PngSignature.size();
    if (head.size() >= pos + 8 && head.mid(pos + 4, 4) == "CgBI") {
        const quint32 length = bigEndian32(head.constData() + pos);
        if (length > 64)
            return refuse(error, u"a CgBI chunk of %1 bytes"_s.arg(length));
        header.kind = IconImage::Kind::CrushedPng;
        pos += 12 + qsizetype(length);
    }
    if (head.size() < pos + 16 || head.mid(pos + 4, 4) != "IHDR" || bigEndian32(head.constData() + pos) != 13)
        return refuse(error, u"a PNG without its IHDR chunk"_s);
    header.width = bigEndian32(head.constData() + pos + 8);
    header.height = bigEndian32(head.constData() + pos + 12);
    return checkedSize(header, error);
}

} // namespace

std::optional<IconImage::Header> IconImage::header(const QByteArray &head, QString *error)
{
    if (head.startsWith(PngSignature))
        return pngHeader(head, error);
    if (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP") {
        int width = 0;
        int height = 0;
        if (!WebPGetInfo(reinterpret_cast<const uint8_t *>(head.constData()), size_t(head.size()), &width, &height))
            return refuse(error, u"a WebP image without a readable header"_s);
        return checkedSize(Header { Kind::Webp, quint32(width), quint32(height) }, error);
    }
    return refuse(error, u"neither a PNG nor a WebP image"_s);
}

QByteArray IconImage::toPng(const QByteArray &bytes, QString *error)
{
    const std::optional<Header> found = header(bytes.left(HeaderBytes), error);
    if (!found)
        return {};
    if (found->kind == Kind::Png)
        return checkPng(bytes, error) ? bytes : QByteArray();
    if (found->kind == Kind::CrushedPng)
        return decodeCrushed(bytes, error);
    int width = 0;
    int height = 0;
    uint8_t *pixels
        = WebPDecodeRGBA(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), &width, &height);
    if (!pixels || quint32(width) != found->width || quint32(height) != found->height) {
        WebPFree(pixels);
        if (error)
            *error = u"a WebP image that cannot be decoded"_s;
        return {};
    }
    const QByteArray rgba(reinterpret_cast<const char *>(pixels), qsizetype(width) * height * 4);
    WebPFree(pixels);
    return writePng(quint32(width), quint32(height), 4, rgba);
}

QByteArray IconImage::writePng(quint32 width, quint32 height, int channels, const QByteArray &pixels)
{
    const qsizetype rowBytes = qsizetype(width) * channels;
    Q_ASSERT(pixels.size() == rowBytes * qsizetype(height));
    // Every row with filter 0 (none).
    QByteArray raw;
    raw.reserve((rowBytes + 1) * qsizetype(height));
    for (quint32 y = 0; y < height; ++y)
        raw.append('\0').append(pixels.constData() + rowBytes * y, rowBytes);
    uLongf compressedSize = compressBound(uLong(raw.size()));
    QByteArray compressed(qsizetype(compressedSize), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef *>(compressed.data()), &compressedSize,
            reinterpret_cast<const Bytef *>(raw.constData()), uLong(raw.size()), Z_BEST_SPEED)
        != Z_OK)
        return {};
    compressed.truncate(qsizetype(compressedSize));

    QByteArray ihdr;
    appendBigEndian32(ihdr, width);
    appendBigEndian32(ihdr, height);
    ihdr.append(char(8)).append(char(channels == 4 ? 6 : 2)).append(3, '\0');

    QByteArray png = PngSignature;
    auto chunk = [&png](const char *type, const QByteArray &data) {
        appendBigEndian32(png, quint32(data.size()));
        const qsizetype start = png.size();
        png.append(type, 4).append(data);
        appendBigEndian32(
            png, quint32(crc32(0, reinterpret_cast<const Bytef *>(png.constData() + start), uInt(png.size() - start))));
    };
    chunk("IHDR", ihdr);
    chunk("IDAT", compressed);
    chunk("IEND", QByteArray());
    return png;
}
