#include "devicelog/DeviceLogStyle.h"

#include "app/DataCheck.h"
#include "devicelog/DeviceLogText.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QTextCharFormat>
#include <QTextOption>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

bool isLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return u == u'\n' || u == u'\r' || u == 0x2028 || u == 0x2029 || u == 0x0085;
}

} // namespace

QFont DeviceLogStyle::logFont()
{
    static const QFont font = [] {
        QFont f = QFontDatabase::families().contains(u"Menlo"_s) ? QFont(u"Menlo"_s)
                                                                 : QFontDatabase::systemFont(QFontDatabase::FixedFont);
        f.setPixelSize(12);
        f.setBold(false);
        f.setItalic(false);
        return f;
    }();
    return font;
}

QFont DeviceLogStyle::boldLogFont()
{
    QFont f = logFont();
    f.setBold(true);
    return f;
}

QList<QTextLayout::FormatRange> DeviceLogStyle::formatsForEntry(const QString &entry, const QString &searchString)
{
    QList<QTextLayout::FormatRange> formats;
    QTextCharFormat bold;
    bold.setFont(boldLogFont());
    if (DeviceLogText::hasTimeStringString(entry))
        formats.append({ 0, int(qMin<qsizetype>(8, entry.size())), bold });
    if (DataCheck::isValidString(searchString)) {
        const qsizetype hit = entry.indexOf(searchString);
        if (hit >= 0) {
            QTextCharFormat yellow;
            yellow.setBackground(QColor(255, 255, 0));
            formats.append({ int(hit), int(searchString.size()), yellow });
        }
    }
    const qsizetype arrow = entry.indexOf(DeviceLogText::kArrow);
    if (arrow >= 0)
        formats.append({ int(arrow), int(DeviceLogText::kArrow.size()), bold });
    const DeviceLogText::Range name = DeviceLogText::rangeOfProcessName(entry);
    if (!name.isEmpty())
        formats.append({ int(name.location), int(name.length), bold });
    return formats;
}

QString DeviceLogStyle::layoutText(const QString &text)
{
    QString result = text;
    for (qsizetype i = 0; i < result.size(); ++i) {
        if (!isLineBreak(result.at(i)))
            continue;
        // "\r\n" is one break: the carriage return stays in the line as an invisible character.
        if (result.at(i) == u'\r' && i + 1 < result.size() && result.at(i + 1) == u'\n')
            result[i] = QChar(0x200B);
        else
            result[i] = QChar::LineSeparator;
    }
    return result;
}

QSizeF DeviceLogStyle::sizeWithWidth(const QString &text, qreal width, const QFont &font)
{
    if (text.isEmpty())
        return { width, 0 };
    QTextLayout layout(layoutText(text), font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    int lines = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(qMax<qreal>(width, 0));
        ++lines;
    }
    layout.endLayout();
    return { width, lines * QFontMetricsF(font).lineSpacing() };
}

int DeviceLogStyle::rowHeight(const QString &entry, int columnWidth, const QFont &font)
{
    const float width = float(columnWidth) - 10.0f;
    const float measured = float(sizeWithWidth(entry, width, font).height());
    const float height = measured * 1.3f - 12.0f;
    const float oneLine = float(QFontMetricsF(font).lineSpacing());
    return int(std::ceil(qMax(height, oneLine)));
}

QColor DeviceLogStyle::rowBackground(int row)
{
    return row % 2 == 0 ? QColor::fromRgbF(245.0f / 255.0f, 245.0f / 255.0f, 245.0f / 255.0f, 1.0f) : QColor(Qt::white);
}
