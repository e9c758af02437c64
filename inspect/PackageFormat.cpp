#include "inspect/PackageFormat.h"

#include "app/DataCheck.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

QString PackageFormat::fileSize(qint64 bytes)
{
    // Both steps in single precision on purpose: the service and earlier releases show these figures.
    float size = static_cast<float>(bytes);
    size *= 1.0f / 1024.0f;
    size *= 1.0f / 1024.0f;
    return QString::asprintf("%.2fMB", static_cast<double>(size));
}

QString PackageFormat::date(const QDateTime &when, const QLocale &locale)
{
    if (!when.isValid())
        return {};
    // Qt's "a" would lower-case the marker ("pm"); "Ap" keeps the locale's own spelling, which is
    // what the Unicode pattern letter "a" means.
    return locale.toString(when.toLocalTime(), u"yyyy年MM月dd日 ApHH:mm"_s);
}

QString PackageFormat::fileSizeOf(const QString &path)
{
    const QFileInfo info(path);
    return fileSize(info.exists() ? info.size() : 0);
}

QString PackageFormat::createdDateOf(const QString &path, const QLocale &locale)
{
    const QString text = date(QFileInfo(path).lastModified(), locale);
    if (DataCheck::isValidString(text))
        return text;
    return date(QDateTime::currentDateTime(), locale);
}
