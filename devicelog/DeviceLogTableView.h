#pragma once

#include <QTableView>

#include <vector>

// The device log's one-column table. Row heights come from each entry's measured text
// (DeviceLogStyle::rowHeight), but only for rows that are shown: a row is measured when it first
// comes into view at the current column width, and keeps the default height until then, so a
// million entries cost a million measurements never.
class DeviceLogTableView final : public QTableView
{
    Q_OBJECT
public:
    explicit DeviceLogTableView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;

    // Measures the rows in view that have not been measured at the current column width.
    void measureShownRows();
    // Measures the last rows, as many as fill the view, and scrolls the last row into view.
    void scrollToLastRow();

    bool isRowMeasured(int row) const;
    qsizetype measuredRowCount() const { return m_measuredCount; }

Q_SIGNALS:
    // The standard Copy key while the table has the focus.
    void copyRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end) override;
    void reset() override;
    void updateGeometries() override;

private:
    void columnResized(int width);
    void forgetMeasurements();
    void measureRow(int row);

    std::vector<bool> m_measured;
    qsizetype m_measuredCount = 0;
    bool m_measuring = false;
    int m_columnWidth = 0;
};
