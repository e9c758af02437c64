#include "inspect/IconChoice.h"

#include "inspect/Logging.h"
#include "inspect/PackageRecord.h"
#include "inspect/ZipReader.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Densities aapt prints for "anydpi" and "nodpi": not finer than any real density.
constexpr int AnyDensity = 65534;

void appendStrings(QStringList &names, const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QString>()) {
        names.append(value.toString());
        return;
    }
    if (value.metaType() != QMetaType::fromType<QVariantList>())
        return;
    for (const QVariant &item : value.toList()) {
        if (item.metaType() == QMetaType::fromType<QString>())
            names.append(item.toString());
    }
}

// The file named (exactly, or else ignoring case), or an empty string.
QString present(const QString &name, const QSet<QString> &exact, const QHash<QString, QString> &folded)
{
    if (exact.contains(name))
        return name;
    return folded.value(name.toLower());
}

QStringList topLevelFallback(const QStringList &files)
{
    static const QRegularExpression pattern(u"^(AppIcon|Icon).*\\.png$"_s, QRegularExpression::CaseInsensitiveOption);
    QStringList found;
    for (const QString &file : files) {
        if (!file.contains(u'/') && pattern.match(file).hasMatch())
            found.append(file);
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace

QStringList IconChoice::namesFromInfo(const QVariantMap &info)
{
    QStringList names;
    for (const QString &key : { u"CFBundleIcons"_s, u"CFBundleIcons~ipad"_s }) {
        const QVariantMap icons = info.value(key).toMap();
        appendStrings(names, icons.value(u"CFBundlePrimaryIcon"_s).toMap().value(u"CFBundleIconFiles"_s));
    }
    appendStrings(names, info.value(u"CFBundleIconFiles"_s));
    appendStrings(names, info.value(u"CFBundleIconFile"_s));
    names.removeDuplicates();
    names.removeAll(QString());
    return names;
}

QStringList IconChoice::variants(const QString &base)
{
    QStringList names;
    QString stem = base;
    if (base.endsWith(u".png"_s, Qt::CaseInsensitive)) {
        names.append(base);
        stem.chop(4);
    }
    for (const QString &suffix : { u""_s, u"@2x"_s, u"@3x"_s, u"~ipad"_s, u"@2x~ipad"_s, u"@3x~ipad"_s })
        names.append(stem + suffix + u".png"_s);
    names.removeDuplicates();
    return names;
}

QStringList IconChoice::ipaCandidates(const QVariantMap &info, const QStringList &files)
{
    const QSet<QString> exact(files.cbegin(), files.cend());
    if (exact.contains(u"Icon.png"_s))
        return { u"Icon.png"_s };
    QHash<QString, QString> folded;
    for (const QString &file : files)
        folded.insert(file.toLower(), file);

    QStringList found;
    for (const QString &name : namesFromInfo(info)) {
        QString reason;
        const QString safe = ZipReader::safePath(name, &reason);
        if (safe.isEmpty()) {
            qCWarning(lcInspect).noquote() << "Icon name skipped:" << name << "-" << reason;
            continue;
        }
        for (const QString &variant : variants(safe)) {
            const QString file = present(variant, exact, folded);
            if (!file.isEmpty() && !found.contains(file))
                found.append(file);
        }
    }
    return found.isEmpty() ? topLevelFallback(files) : found;
}

QList<IconChoice::DensityLine> IconChoice::densityLines(const QString &badging)
{
    static const QRegularExpression line(u"^application-icon-(\\d+):'(.*?)'"_s, QRegularExpression::MultilineOption);
    QList<DensityLine> lines;
    for (auto it = line.globalMatch(badging); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        bool ok = false;
        const int density = match.captured(1).toInt(&ok);
        if (ok)
            lines.append({ density, match.captured(2) });
    }
    return lines;
}

bool IconChoice::isRaster(const QString &path)
{
    return path.endsWith(u".png"_s, Qt::CaseInsensitive) || path.endsWith(u".webp"_s, Qt::CaseInsensitive);
}

namespace {

// The rasters the badging's icon lines name, highest density first (any-density ones last), and
// the first XML icon among them. Without application-icon lines, the application line's icon.
QStringList namedRasters(const QString &badging, QString *xml)
{
    QList<IconChoice::DensityLine> lines = IconChoice::densityLines(badging);
    std::stable_sort(
        lines.begin(), lines.end(), [](const IconChoice::DensityLine &a, const IconChoice::DensityLine &b) {
            const int left = a.density >= AnyDensity ? -1 : a.density;
            const int right = b.density >= AnyDensity ? -1 : b.density;
            return left > right;
        });
    QStringList paths;
    for (const IconChoice::DensityLine &line : std::as_const(lines))
        paths.append(ZipReader::safePath(line.path));
    if (lines.isEmpty())
        paths.append(PackageRecord::apkIconEntry(badging));
    QStringList rasters;
    for (const QString &path : std::as_const(paths)) {
        if (IconChoice::isRaster(path))
            rasters.append(path);
        else if (xml->isEmpty() && path.endsWith(u".xml"_s, Qt::CaseInsensitive))
            *xml = path;
    }
    rasters.removeDuplicates();
    return rasters;
}

// The rasters of the same resource name as an XML icon, in any configuration folder of res/.
QStringList sameNameRasters(const QString &xml, const QStringList &entries)
{
    QString name = xml.section(u'/', -1);
    name.chop(4);
    QStringList same;
    for (const QString &entry : entries) {
        const QStringList parts = entry.split(u'/');
        if (parts.size() == 3 && parts.at(0) == u"res"_s && IconChoice::isRaster(parts.at(2))
            && parts.at(2).section(u'.', 0, 0) == name && parts.at(2).count(u'.') == 1)
            same.append(entry);
    }
    std::sort(same.begin(), same.end());
    return same;
}

} // namespace

QStringList IconChoice::apkCandidates(const QString &badging, const QStringList &entries, bool *sameName)
{
    QString xml;
    const QStringList rasters = namedRasters(badging, &xml);
    const bool onlyXml = rasters.isEmpty() && !xml.isEmpty();
    if (sameName)
        *sameName = onlyXml;
    return onlyXml ? sameNameRasters(xml, entries) : rasters;
}

std::optional<IconChoice::Choice> IconChoice::choose(const QStringList &candidates,
    const std::function<qint64(const QString &)> &size, const std::function<QByteArray(const QString &)> &head,
    bool firstUsable)
{
    std::optional<Choice> best;
    for (const QString &candidate : candidates) {
        const qint64 bytes = size(candidate);
        if (bytes < 0)
            continue; // not there
        if (bytes > IconImage::MaxEntryBytes) {
            qCWarning(lcInspect).noquote() << "Icon skipped:" << candidate << "holds" << bytes << "bytes (at most"
                                           << IconImage::MaxEntryBytes << ")";
            continue;
        }
        QString error;
        const std::optional<IconImage::Header> header = IconImage::header(head(candidate), &error);
        if (!header) {
            qCWarning(lcInspect).noquote() << "Icon skipped:" << candidate << "is" << error;
            continue;
        }
        if (!best || header->area() > best->header.area())
            best = Choice { candidate, *header };
        if (firstUsable)
            break;
    }
    return best;
}
