#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QSizeF>
#include <QString>
#include <QTextLayout>

// How the device log viewer draws and measures its entries.
class DeviceLogStyle final
{
public:
    // "Menlo" at 12 where that family exists, the system's fixed-width font otherwise. Sizes are
    // in pixels, the unit the row height rule was made for.
    static QFont logFont();
    static QFont boldLogFont();

    // The character formats of one entry on top of logFont(): the leading time, the first arrow
    // and the process name bold; the first occurrence of a valid search text on yellow.
    static QList<QTextLayout::FormatRange> formatsForEntry(const QString &entry, const QString &searchString);

    // Lays the text out in the font, in a box of the given width and unbounded height, with no
    // inset, and answers the width together with the height the text uses. Line feeds (and the
    // other paragraph and line separators) start a new line; a final one starts one more, empty,
    // line, which counts. Long lines wrap at word boundaries, or anywhere when a word is too long.
    static QSizeF sizeWithWidth(const QString &text, qreal width, const QFont &font);

    // The row height of an entry in a column of that width: its measured height at
    // (width - 10) x 1.3 - 12, but never less than one line, so no row clips its text away.
    static int rowHeight(const QString &entry, int columnWidth, const QFont &font);

    // Rows with an even index (the first is 0) on 245/255 grey, the others on white.
    static QColor rowBackground(int row);

    // The entry's text prepared for QTextLayout: the same length, line breaks as line separators.
    static QString layoutText(const QString &text);
};
