#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QString>

#include <cstdlib>

// Compares what a widget drew (its grab()) with an image made independently of the code under
// test: a file decoded from the source tree, or the platform's own icon. A difference is a
// sentence naming the first pixel that differs; an empty string means they match.
//
//     const QImage drawn = label->grab().toImage();
//     const QImage file(TestEnvironment::sourceDir() + u"/ui/images/Check.png"_s);
//     const QString difference = DrawnImage::difference(drawn, DrawnImage::over(file, drawn.pixelColor(0, 0), {16,
//     16})); QVERIFY2(difference.isEmpty(), qPrintable(difference));
namespace DrawnImage {

// image scaled (smoothly, keeping its aspect) to size and drawn over a plain background,
// centred, as a label draws its pixmap.
inline QImage over(const QImage &image, const QColor &background, QSize size = {})
{
    if (!size.isValid())
        size = image.size();
    QImage canvas(size, QImage::Format_ARGB32);
    canvas.fill(background);
    QPainter painter(&canvas);
    // 8 bits a channel first: a 16-bit PNG (RGBA64) painted onto this canvas comes out garbled.
    const QImage scaled = image.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                              .scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    painter.drawImage((size.width() - scaled.width()) / 2, (size.height() - scaled.height()) / 2, scaled);
    painter.end();
    return canvas;
}

// How many pixels of image differ from its top-left pixel by more than tolerance in a channel:
// an image of one colour shows nothing.
inline int pixelsUnlike(const QImage &image, const QColor &colour, int tolerance = 24)
{
    int count = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QColor c = rgb.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) > tolerance || std::abs(c.green() - colour.green()) > tolerance
                || std::abs(c.blue() - colour.blue()) > tolerance)
                ++count;
        }
    }
    return count;
}

// Empty when drawn and expected have the same size and every channel of every pixel lies within
// tolerance (scaling and blending round differently); otherwise what differs. An expected image
// that is null or of one colour is itself a difference: it could not tell anything apart.
inline QString difference(const QImage &drawn, const QImage &expected, int tolerance = 16)
{
    if (expected.isNull() || pixelsUnlike(expected, expected.pixelColor(0, 0)) == 0)
        return QStringLiteral("the expected image is empty or of one colour");
    if (drawn.isNull())
        return QStringLiteral("nothing was drawn");
    if (drawn.size() != expected.size())
        return QStringLiteral("drawn %1x%2, expected %3x%4")
            .arg(drawn.width())
            .arg(drawn.height())
            .arg(expected.width())
            .arg(expected.height());
    const QImage a = drawn.convertToFormat(QImage::Format_ARGB32);
    const QImage b = expected.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y);
            const QColor q = b.pixelColor(x, y);
            if (std::abs(p.red() - q.red()) > tolerance || std::abs(p.green() - q.green()) > tolerance
                || std::abs(p.blue() - q.blue()) > tolerance)
                return QStringLiteral("pixel (%1, %2) is %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(p.name(QColor::HexArgb), q.name(QColor::HexArgb));
        }
    }
    return {};
}

} // namespace DrawnImage
