#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

// The text fields of one request, in the order they arrived.
class FormFields final
{
public:
    void append(const QString &name, const QString &value) { m_items.append({name, value}); }
    bool has(const QString &name) const { return value(name).has_value(); }
    // The first value under that name.
    std::optional<QString> value(const QString &name) const
    {
        for (const auto &item : m_items) {
            if (item.first == name)
                return item.second;
        }
        return std::nullopt;
    }
    // The first value under that name, or "" when absent.
    QString text(const QString &name) const { return value(name).value_or(QString()); }
    const QList<std::pair<QString, QString>> &items() const { return m_items; }
    qsizetype size() const { return m_items.size(); }

private:
    QList<std::pair<QString, QString>> m_items;
};
