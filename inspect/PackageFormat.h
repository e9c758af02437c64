#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// Display formats of package facts, shared by the inspection and the recent-builds list.
class PackageFormat final
{
public:
    // Bytes ÷ 1024 ÷ 1024 computed in 32-bit floating point, printed with "%.2fMB"
    // (100,039,396 bytes give "95.40MB", where exact arithmetic would round to 95.41).
    static QString fileSize(qint64 bytes);

    // The pattern "yyyy年MM月dd日 aHH:mm" in the given locale, in local time: the day-period marker
    // is the locale's own (上午/下午 in Chinese, AM/PM in English), the hour runs 00-23.
    // An invalid time gives an empty string.
    static QString date(const QDateTime &when, const QLocale &locale = QLocale::system());

    // A package file's size and modification time as the record stores them; a time that cannot
    // be read gives the current time, a size that cannot be read 0 bytes.
    static QString fileSizeOf(const QString &path);
    static QString createdDateOf(const QString &path, const QLocale &locale = QLocale::system());
};
