#pragma once

#include <QStyledItemDelegate>

// Draws one entry of the device log table: the row's background, then the entry's styled text
// (DeviceLogStyle) wrapped to the column, 5 pixels in from either side.
class QDDeviceLogCellView final : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit QDDeviceLogCellView(QObject *parent = nullptr);

    // The active search text, whose first occurrence in each entry is marked.
    void setSearchString(const QString &searchString) { m_searchString = searchString; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    QString m_searchString;
};
