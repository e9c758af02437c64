#include "devicelog/DeviceLogModel.h"

#include "app/DataCheck.h"
#include "devicelog/TextSearch.h"

#include <algorithm>

DeviceLogModel::DeviceLogModel(QObject *parent)
    : QAbstractListModel(parent)
{ }

qsizetype DeviceLogModel::shownCount() const
{
    return m_isSearchMode ? m_filteredRows.size() : m_logContentList.size();
}

const QString &DeviceLogModel::shownEntry(qsizetype row) const
{
    return m_logContentList.at(m_isSearchMode ? m_filteredRows.at(row) : row);
}

QStringList DeviceLogModel::filteredLogContentList() const
{
    QStringList entries;
    entries.reserve(m_filteredRows.size());
    for (qsizetype at : m_filteredRows)
        entries.append(m_logContentList.at(at));
    return entries;
}

int DeviceLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(shownCount());
}

QVariant DeviceLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.column() != 0 || index.row() >= shownCount() || role != Qt::DisplayRole)
        return {};
    return shownEntry(index.row());
}

qsizetype DeviceLogModel::addEntries(const QStringList &entries)
{
    if (entries.isEmpty())
        return 0;
    const qsizetype base = m_logContentList.size();
    if (!m_isSearchMode) {
        beginInsertRows({}, int(base), int(base + entries.size()) - 1);
        m_logContentList.append(entries);
        endInsertRows();
        return entries.size();
    }
    m_logContentList.append(entries);
    const QList<qsizetype> found = TextSearch::matches(m_logContentList, base, m_logContentList.size(), m_searchString);
    if (found.isEmpty())
        return 0;
    const int first = int(m_filteredRows.size());
    beginInsertRows({}, first, first + int(found.size()) - 1);
    m_filteredRows.append(found);
    endInsertRows();
    return found.size();
}

void DeviceLogModel::searchLogWithKeyWord(const QString &text)
{
    beginResetModel();
    if (DataCheck::isValidString(text)) {
        m_isSearchMode = true;
        m_searchString = text;
        m_filteredRows = TextSearch::matches(m_logContentList, 0, m_logContentList.size(), text);
    } else {
        m_searchString = QString();
        m_isSearchMode = false;
    }
    endResetModel();
}

void DeviceLogModel::cleanLog()
{
    beginResetModel();
    m_logContentList.clear();
    m_filteredRows.clear();
    endResetModel();
}

QString DeviceLogModel::joinedShownList() const
{
    qsizetype size = 0;
    const qsizetype count = shownCount();
    for (qsizetype row = 0; row < count; ++row)
        size += shownEntry(row).size();
    QString text;
    text.reserve(size);
    for (qsizetype row = 0; row < count; ++row)
        text += shownEntry(row);
    return text;
}

QString DeviceLogModel::joinedRows(QList<int> rows) const
{
    std::sort(rows.begin(), rows.end());
    QString text;
    for (int row : std::as_const(rows)) {
        if (row >= 0 && row < shownCount())
            text += shownEntry(row);
    }
    return text;
}
