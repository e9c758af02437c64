#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Icon images as packages hold them, without any image toolkit (zlib and libwebp only):
// their size read from the first bytes, and their conversion into an ordinary PNG.
//
// Three kinds are known: ordinary PNG; the "crushed" PNG that iOS build tools write (a CgBI
// chunk before IHDR, image data as raw deflate without the zlib wrapper, pixels in BGR(A) order
// with premultiplied alpha); and WebP, which Android packages may hold.
//
// Limits: an icon entry above MaxEntryBytes is not read, and an image whose width or height is
// above MaxSide is refused before anything is inflated. Bad input gives an empty result and a
// reason, never a crash.
class IconImage final
{
public:
    static constexpr qint64 MaxEntryBytes = 16 * 1024 * 1024;
    static constexpr quint32 MaxSide = 4096;
    // Enough of a file to read its size (PNG with a CgBI chunk needs 49 bytes, WebP 30).
    static constexpr qint64 HeaderBytes = 64;

    enum class Kind { Png, CrushedPng, Webp };

    struct Header
    {
        Kind kind = Kind::Png;
        quint32 width = 0;
        quint32 height = 0;
        quint64 area() const { return quint64(width) * height; }
    };

    // The kind and size from the first bytes of a file; nothing (and a reason) for anything else
    // and for sizes of 0 or above MaxSide.
    static std::optional<Header> header(const QByteArray &head, QString *error = nullptr);

    // An ordinary PNG of the same image: an ordinary PNG is returned as it is (once checkPng
    // found it whole), a crushed one decoded, a WebP one converted. Empty, with a reason, when
    // that cannot be done.
    static QByteArray toPng(const QByteArray &bytes, QString *error = nullptr);

    // True when an ordinary PNG is whole: IHDR first and within the limits, and image data that
    // inflates to every row of the image with a known filter. Pixels are not looked at further.
    static bool checkPng(const QByteArray &bytes, QString *error = nullptr);

    // Decodes a crushed PNG into an ordinary one: colour types 6 (RGBA) and 2 (RGB) at 8 bits,
    // interlaced or not, become non-interlaced RGBA or RGB with red first and straight alpha;
    // other colour types only lose the crushing (zlib wrapper restored, pixels as stored).
    static QByteArray decodeCrushed(const QByteArray &bytes, QString *error = nullptr);

    // An ordinary, non-interlaced 8-bit PNG of rows of tightly packed pixels: channels 4 for
    // RGBA, 3 for RGB. pixels must hold width * height * channels bytes.
    static QByteArray writePng(quint32 width, quint32 height, int channels, const QByteArray &pixels);
};
