// Icon images as packages hold them: the size read from the first bytes, and the conversion of
// crushed PNGs (and WebP) into an ordinary PNG.
//
// Checks: the header never names a size beyond the limits; a converted image is an ordinary PNG
// (signature, IHDR first with the size the header gave, no CgBI) and converting it again changes
// nothing.

#include "fuzz/FuzzSupport.h"
#include "inspect/IconImage.h"

#include <QByteArray>

namespace {

quint32 bigEndian32(const QByteArray &bytes, qsizetype pos)
{
    const auto *u = reinterpret_cast<const uchar *>(bytes.constData() + pos);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<IconImage::Header> header = IconImage::header(bytes.left(IconImage::HeaderBytes));
    if (header)
        FUZZ_CHECK(header->width >= 1 && header->height >= 1 && header->width <= IconImage::MaxSide
                && header->height <= IconImage::MaxSide,
            "a header of %u x %u", header->width, header->height);

    QString error;
    const QByteArray png = IconImage::toPng(bytes, &error);
    if (png.isEmpty()) {
        FUZZ_CHECK(!error.isEmpty(), "no image and no reason");
        return 0;
    }
    FUZZ_CHECK(header.has_value(), "converted without a readable header");
    FUZZ_CHECK(png.startsWith("\x89PNG\r\n\x1a\n") && png.size() >= 33 && png.mid(12, 4) == "IHDR",
        "the result is not a PNG starting with IHDR");
    FUZZ_CHECK(bigEndian32(png, 16) == header->width && bigEndian32(png, 20) == header->height,
        "the result is %u x %u, the header said %u x %u", bigEndian32(png, 16), bigEndian32(png, 20), header->width,
        header->height);
    FUZZ_CHECK(IconImage::toPng(png) == png, "an ordinary PNG was changed");
    return 0;
}
