#pragma once

// What an icon view shows, read from the screen, for the widget tests (header only: it needs
// QtWidgets, which the core's test support does not link).
//
//     const QImage shown = IconPixels::shown(form->iconImageView());
//     const QImage expected = IconPixels::expected(referenceFile, shown.size(),
//     IconPixels::around(form->iconImageView())); QCOMPARE(IconPixels::differing(shown, expected), 0);
//     QVERIFY(IconPixels::coverage(shown, IconPixels::around(form->iconImageView())) > 0.3);

#include <QImage>
#include <QPainter>
#include <QWidget>

namespace IconPixels {

// The pixels of a shown widget, as its window draws them.
inline QImage shown(QWidget *widget)
{
    QWidget *window = widget->window();
    const QRect area(widget->mapTo(window, QPoint(0, 0)), widget->size());
    return window->grab(area).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The colour just left of the widget, in its window: what lies behind its transparent pixels.
inline QColor around(QWidget *widget)
{
    QWidget *window = widget->window();
    const QPoint left = widget->mapTo(window, QPoint(-2, widget->height() / 2));
    return window->grab(QRect(left, QSize(1, 1))).toImage().pixelColor(0, 0);
}

// An image file (read from the file, not from the program's resources) as an icon view of that
// size shows it: scaled into the size keeping its aspect, smoothly, centred over background.
inline QImage expected(const QString &file, QSize size, const QColor &background)
{
    QImage canvas(size, QImage::Format_ARGB32);
    canvas.fill(background);
    const QImage picture = QImage(file)
                               .convertToFormat(QImage::Format_ARGB32_Premultiplied)
                               .scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (picture.isNull())
        return {};
    QPainter painter(&canvas);
    painter.drawImage((size.width() - picture.width()) / 2, (size.height() - picture.height()) / 2, picture);
    return canvas;
}

// Pixels whose colour differs by more than tolerance in any channel (what rounding in blending a
// half-transparent pixel over a coloured background can explain); -1 when the sizes differ.
inline int differing(const QImage &shown, const QImage &expected, int tolerance = 6)
{
    if (shown.size() != expected.size() || shown.isNull())
        return -1;
    int count = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            const QColor a = shown.pixelColor(x, y);
            const QColor b = expected.pixelColor(x, y);
            if (qAbs(a.red() - b.red()) > tolerance || qAbs(a.green() - b.green()) > tolerance
                || qAbs(a.blue() - b.blue()) > tolerance)
                ++count;
        }
    }
    return count;
}

// The share of the widget's pixels that are not the background colour.
inline double coverage(const QImage &shown, const QColor &background)
{
    if (shown.isNull())
        return 0;
    int covered = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x)
            covered += shown.pixelColor(x, y) != background ? 1 : 0;
    }
    return double(covered) / (shown.width() * shown.height());
}

} // namespace IconPixels
