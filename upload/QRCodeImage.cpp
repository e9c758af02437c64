#include "upload/QRCodeImage.h"

#include <qrencode.h>

#include <memory>

QImage QRCodeImage::fromText(const QString &text, int moduleSize, int margin)
{
    const QByteArray bytes = text.toUtf8();
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code || moduleSize < 1 || margin < 0)
        return {};
    const int width = code->width;
    const int side = (width + 2 * margin) * moduleSize;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    const QRgb black = qRgb(0, 0, 0);
    for (int y = 0; y < width; ++y) {
        for (int x = 0; x < width; ++x) {
            if (!(code->data[y * width + x] & 1))
                continue;
            for (int dy = 0; dy < moduleSize; ++dy) {
                auto *line = reinterpret_cast<QRgb *>(image.scanLine((y + margin) * moduleSize + dy));
                for (int dx = 0; dx < moduleSize; ++dx)
                    line[(x + margin) * moduleSize + dx] = black;
            }
        }
    }
    return image;
}
