#include "devicelog/QDDeviceLogCellView.h"

#include "devicelog/DeviceLogStyle.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

QDDeviceLogCellView::QDDeviceLogCellView(QObject *parent)
    : QStyledItemDelegate(parent)
{ }

void QDDeviceLogCellView::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QString entry = index.data(Qt::DisplayRole).toString();
    const QRect rect = option.rect;
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;

    painter->save();
    painter->setClipRect(rect);
    painter->fillRect(rect,
        selected ? option.palette.brush(group, QPalette::Highlight)
                 : QBrush(DeviceLogStyle::rowBackground(index.row())));

    const QFont font = DeviceLogStyle::logFont();
    const qreal lineSpacing = QFontMetricsF(font).lineSpacing();
    QTextLayout layout(DeviceLogStyle::layoutText(entry), font);
    QTextOption textOption;
    textOption.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(textOption);
    layout.setFormats(DeviceLogStyle::formatsForEntry(entry, m_searchString));
    const qreal width = qMax<qreal>(rect.width() - 10, 0);
    int lines = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, lines * lineSpacing));
        ++lines;
    }
    layout.endLayout();

    // The empty line after a final line break takes room in the row height but shows nothing:
    // centre the visible lines.
    int visibleLines = lines;
    if (visibleLines > 1 && layout.text().endsWith(QChar::LineSeparator))
        --visibleLines;
    const qreal textHeight = visibleLines * lineSpacing;
    const qreal top = textHeight < rect.height() ? rect.top() + (rect.height() - textHeight) / 2 : rect.top();

    painter->setPen(selected ? option.palette.color(group, QPalette::HighlightedText) : QColor(Qt::black));
    layout.draw(painter, QPointF(rect.left() + 5, top));
    painter->restore();
}

QSize QDDeviceLogCellView::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    return { option.rect.width(),
        DeviceLogStyle::rowHeight(
            index.data(Qt::DisplayRole).toString(), option.rect.width(), DeviceLogStyle::logFont()) };
}
