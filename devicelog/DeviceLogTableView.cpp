#include "devicelog/DeviceLogTableView.h"

#include "devicelog/DeviceLogStyle.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QScopedValueRollback>
#include <QScrollBar>

using namespace Qt::StringLiterals;

namespace {

// Resizing a section of a header with updates enabled recomputes every section's position;
// with a million rows that must happen once per pass, not once per row.
class HeaderUpdatesBlocker
{
public:
    explicit HeaderUpdatesBlocker(QHeaderView *header)
        : m_header(header)
        , m_wasEnabled(header->updatesEnabled())
    {
        m_header->setUpdatesEnabled(false);
    }
    ~HeaderUpdatesBlocker() { m_header->setUpdatesEnabled(m_wasEnabled); }
    HeaderUpdatesBlocker(const HeaderUpdatesBlocker &) = delete;
    HeaderUpdatesBlocker &operator=(const HeaderUpdatesBlocker &) = delete;

private:
    QHeaderView *m_header;
    bool m_wasEnabled;
};

} // namespace

DeviceLogTableView::DeviceLogTableView(QWidget *parent)
    : QTableView(parent)
{
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setShowGrid(false);
    setWordWrap(true);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false);

    // Only the one column follows the table's width.
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    QHeaderView *rows = verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(1);
    // Most entries are one line followed by a line feed: start every row at that height.
    rows->setDefaultSectionSize(DeviceLogStyle::rowHeight(u"00:00:00\n"_s, 10000, DeviceLogStyle::logFont()));

    // The header reports the new width before columnWidth() answers it.
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int logical, int, int newSize) {
        if (logical == 0)
            columnResized(newSize);
    });
}

void DeviceLogTableView::setModel(QAbstractItemModel *model)
{
    QTableView::setModel(model);
    m_columnWidth = columnWidth(0);
    forgetMeasurements();
}

bool DeviceLogTableView::isRowMeasured(int row) const
{
    return row >= 0 && size_t(row) < m_measured.size() && m_measured[size_t(row)];
}

void DeviceLogTableView::forgetMeasurements()
{
    m_measured.assign(model() ? size_t(model()->rowCount()) : 0, false);
    m_measuredCount = 0;
}

void DeviceLogTableView::measureRow(int row)
{
    if (row < 0 || size_t(row) >= m_measured.size() || m_measured[size_t(row)])
        return;
    const QString entry = model()->index(row, 0).data(Qt::DisplayRole).toString();
    const int height = DeviceLogStyle::rowHeight(entry, m_columnWidth, DeviceLogStyle::logFont());
    if (verticalHeader()->sectionSize(row) != height)
        verticalHeader()->resizeSection(row, height);
    m_measured[size_t(row)] = true;
    ++m_measuredCount;
}

void DeviceLogTableView::measureShownRows()
{
    if (m_measuring || !model() || model()->rowCount() == 0)
        return;
    const QScopedValueRollback guard(m_measuring, true);
    const int rows = model()->rowCount();
    int row = rowAt(0);
    if (row < 0)
        return;
    int y = rowViewportPosition(row);
    const int bottom = viewport()->height();
    QHeaderView *header = verticalHeader();
    {
        HeaderUpdatesBlocker blocker(header);
        for (; row < rows && y < bottom; ++row) {
            measureRow(row);
            y += header->sectionSize(row);
        }
    }
}

void DeviceLogTableView::scrollToLastRow()
{
    if (!model() || model()->rowCount() == 0)
        return;
    const int rows = model()->rowCount();
    {
        // Rows passed on the way (the top, right after an insertion) are not shown: no measuring
        // until the last row is in view.
        const QScopedValueRollback guard(m_measuring, true);
        {
            QHeaderView *header = verticalHeader();
            HeaderUpdatesBlocker blocker(header);
            int height = 0;
            for (int row = rows - 1; row >= 0 && height < viewport()->height(); --row) {
                measureRow(row);
                height += header->sectionSize(row);
            }
        }
        // The scroll range must know the new rows before the last one can be brought into view.
        executeDelayedItemsLayout();
        updateGeometries();
        scrollTo(model()->index(rows - 1, 0), QAbstractItemView::EnsureVisible);
    }
    measureShownRows();
}

void DeviceLogTableView::columnResized(int width)
{
    m_columnWidth = width;
    // Every row's height depends on the width: measure again what is shown, the rest on demand.
    std::fill(m_measured.begin(), m_measured.end(), false);
    m_measuredCount = 0;
    measureShownRows();
}

void DeviceLogTableView::keyPressEvent(QKeyEvent *event)
{
    if (event == QKeySequence::Copy) {
        Q_EMIT copyRequested();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void DeviceLogTableView::resizeEvent(QResizeEvent *event)
{
    // A table that shows its last row keeps showing it when it gets shorter.
    const bool atEnd = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    QTableView::resizeEvent(event);
    if (atEnd && model() && model()->rowCount() > 0)
        scrollToLastRow();
}

void DeviceLogTableView::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    measureShownRows();
}

void DeviceLogTableView::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QTableView::rowsInserted(parent, start, end);
    if (parent.isValid() || start < 0 || end < start)
        return;
    const size_t at = qMin(size_t(start), m_measured.size());
    m_measured.insert(m_measured.begin() + qsizetype(at), size_t(end - start + 1), false);
}

void DeviceLogTableView::rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end)
{
    if (!parent.isValid() && start >= 0 && size_t(end) < m_measured.size()) {
        for (int row = start; row <= end; ++row)
            m_measuredCount -= m_measured[size_t(row)] ? 1 : 0;
        m_measured.erase(m_measured.begin() + start, m_measured.begin() + end + 1);
    }
    QTableView::rowsAboutToBeRemoved(parent, start, end);
}

void DeviceLogTableView::reset()
{
    QTableView::reset();
    forgetMeasurements();
}

void DeviceLogTableView::updateGeometries()
{
    // Called once the layout is settled after a reset, a resize or new rows.
    QTableView::updateGeometries();
    measureShownRows();
}
