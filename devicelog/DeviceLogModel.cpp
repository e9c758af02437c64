#include "devicelog/DeviceLogModel.h"

#include "app/DataCheck.h"

#include <algorithm>

DeviceLogModel::DeviceLogModel(QObject *parent)
    : QAbstractListModel(parent)
{
    m_matcher.setCaseSensitivity(Qt::CaseSensitive);
}

int DeviceLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(shownList().size());
}

QVariant DeviceLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= shownList().size() || index.column() != 0)
        return {};
    if (role == Qt::DisplayRole)
        return shownList().at(index.row());
    return {};
}

bool DeviceLogModel::matches(const QString &entry) const
{
    return m_matcher.indexIn(entry) >= 0;
}

qsizetype DeviceLogModel::addEntries(const QStringList &entries)
{
    if (entries.isEmpty())
        return 0;
    m_logContentList.append(entries);
    if (!m_isSearchMode) {
        const int first = int(m_logContentList.size() - entries.size());
        beginInsertRows({}, first, int(m_logContentList.size()) - 1);
        endInsertRows();
        return entries.size();
    }
    QStringList found;
    for (const QString &entry : entries) {
        if (matches(entry))
            found.append(entry);
    }
    if (found.isEmpty())
        return 0;
    const int first = int(m_filteredLogContentList.size());
    beginInsertRows({}, first, first + int(found.size()) - 1);
    m_filteredLogContentList.append(std::move(found));
    endInsertRows();
    return m_filteredLogContentList.size() - first;
}

void DeviceLogModel::searchLogWithKeyWord(const QString &text)
{
    beginResetModel();
    if (DataCheck::isValidString(text)) {
        m_isSearchMode = true;
        m_searchString = text;
        m_matcher.setPattern(text);
        m_filteredLogContentList.clear();
        for (const QString &entry : std::as_const(m_logContentList)) {
            if (matches(entry))
                m_filteredLogContentList.append(entry);
        }
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
    m_filteredLogContentList.clear();
    endResetModel();
}

QString DeviceLogModel::joinedShownList() const
{
    return shownList().join(QString());
}

QString DeviceLogModel::joinedRows(QList<int> rows) const
{
    std::sort(rows.begin(), rows.end());
    QString text;
    const QStringList &shown = shownList();
    for (int row : std::as_const(rows)) {
        if (row >= 0 && row < shown.size())
            text += shown.at(row);
    }
    return text;
}
