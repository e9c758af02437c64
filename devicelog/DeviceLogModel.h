#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QStringList>

// The entries of one device log viewer and its search. Every entry received since the last
// clearing is kept in logContentList; while a search text is active, the filtered list holds
// those that contain it (plain, case-sensitive substring), in the same order. The model's rows
// are the shown list: the filtered list while searching, the whole list otherwise.
//
// The filtered list is kept as positions in logContentList (both only grow, and are emptied
// together), so that filtering a million entries copies no text.
class DeviceLogModel final : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit DeviceLogModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    const QStringList &logContentList() const { return m_logContentList; }
    QStringList filteredLogContentList() const;
    bool isSearchMode() const { return m_isSearchMode; }
    // Null while not searching.
    const QString &searchString() const { return m_searchString; }

    qsizetype shownCount() const;
    // The shown entry at a row (0 <= row < shownCount()).
    const QString &shownEntry(qsizetype row) const;

    // Appends entries in arrival order. The rows of the shown entries are inserted at the end as
    // one insertion; answers how many rows were inserted.
    qsizetype addEntries(const QStringList &entries);
    // Applies the search when the text is a valid string (DataCheck), clears it otherwise; the
    // model is reset either way.
    void searchLogWithKeyWord(const QString &text);
    // Empties both lists; the search stays.
    void cleanLog();

    // The shown list joined with nothing in between.
    QString joinedShownList() const;
    // The shown entries at these rows, in ascending row order, joined with nothing in between.
    QString joinedRows(QList<int> rows) const;

private:
    QStringList m_logContentList;
    QList<qsizetype> m_filteredRows;
    bool m_isSearchMode = false;
    QString m_searchString;
};
