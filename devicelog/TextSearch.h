#pragma once

#include <QList>
#include <QStringList>
#include <QStringView>

// Plain, case-sensitive substring search over many entries, fast enough to filter a million
// entries in about the time `grep -F` takes over the same text.
namespace TextSearch {

// Whether the needle occurs in the text (UTF-16 code units compared as they are); an empty
// needle occurs everywhere.
bool contains(QStringView text, QStringView needle);

// The indexes, ascending, of the entries in [from, to) that contain the needle; large ranges
// are split over two threads.
QList<qsizetype> matches(const QStringList &entries, qsizetype from, qsizetype to, QStringView needle);

} // namespace TextSearch
