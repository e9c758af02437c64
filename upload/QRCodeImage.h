#pragma once

#include <QImage>
#include <QString>

// A QR code (libqrencode, error correction M) drawn as a black-on-white image: each module a
// square of moduleSize pixels, with a quiet zone of margin modules around it. A null image
// when the text cannot be encoded (too long for any version).
namespace QRCodeImage {
QImage fromText(const QString &text, int moduleSize = 4, int margin = 4);
}
