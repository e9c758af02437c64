#include "inspect/PackageRecord.h"

#include "app/DataCheck.h"
#include "inspect/PackageFormat.h"

#include <QRegularExpression>
#include <QSet>

#include <algorithm>

using namespace Qt::StringLiterals;

const QString PackageRecord::PackageNamePattern = u"package.*?name='(.*?)'"_s;
const QString PackageRecord::VersionNamePattern = u"versionName='(.*?)'"_s;
const QString PackageRecord::VersionCodePattern = u"versionCode='(.*?)'"_s;
const QString PackageRecord::LabelPattern = u"application-label:'(.*?)'"_s;
const QString PackageRecord::IconPattern = u"application.*icon='(.*?)'"_s;

namespace {

QString usableOrEmpty(const QVariant &value)
{
    return DataCheck::isValidString(value) ? value.toString() : QString(u""_s);
}

} // namespace

QString PackageRecord::applicationFolder(const QList<ZipEntry> &entries)
{
    QSet<QString> names;
    for (const ZipEntry &entry : entries) {
        if (!entry.isSafe || !entry.path.startsWith(u"Payload/"_s))
            continue;
        const QString rest = entry.path.mid(8);
        names.insert(rest.left(rest.indexOf(u'/')));
    }
    QStringList sorted(names.begin(), names.end());
    std::sort(sorted.begin(), sorted.end());
    QString chosen;
    for (const QString &name : std::as_const(sorted)) {
        if (name.endsWith(u".app"_s))
            chosen = name;
    }
    return chosen;
}

void PackageRecord::fillIpaRecord(QVariantMap &record, const std::optional<QVariantMap> &info,
                                  const QString &appFolder, const QString &packagePath, const QString &workFolder,
                                  const QString &iconFile)
{
    const QVariantMap plist = info.value_or(QVariantMap());
    record.clear();
    record.insert(u"fileSize"_s, PackageFormat::fileSizeOf(packagePath));
    record.insert(u"createdDate"_s, PackageFormat::createdDateOf(packagePath));
    record.insert(u"packageName"_s, usableOrEmpty(plist.value(u"CFBundleIdentifier"_s)));
    record.insert(u"appVersion"_s, usableOrEmpty(plist.value(u"CFBundleShortVersionString"_s)));
    record.insert(u"appBuild"_s, usableOrEmpty(plist.value(u"CFBundleVersion"_s)));
    const QVariant displayName = plist.value(u"CFBundleDisplayName"_s);
    const QVariant bundleName = plist.value(u"CFBundleName"_s);
    QString appName = u""_s;
    if (DataCheck::isValidString(displayName))
        appName = displayName.toString();
    else if (bundleName.metaType() == QMetaType::fromType<QString>())
        appName = bundleName.toString();
    record.insert(u"appName"_s, appName);
    record.insert(u"iconPath"_s, QString(workFolder + u"/Payload/"_s + appFolder + u'/'
                                         + (iconFile.isEmpty() ? u"Icon.png"_s : iconFile)));
}

std::optional<QString> PackageRecord::getAPKPropertyWithInfo(const QString &info, const QString &pattern)
{
    // (*ANY): "." stops at every line end (CR, LF, NEL, LS, PS), as in ICU, not only at LF.
    const QRegularExpression expression(u"(*ANY)"_s + pattern);
    if (!expression.isValid())
        return std::nullopt;
    const QRegularExpressionMatch match = expression.match(info);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1);
}

QString PackageRecord::apkIconEntry(const QString &badging)
{
    const std::optional<QString> icon = getAPKPropertyWithInfo(badging, IconPattern);
    return icon ? ZipReader::safePath(*icon) : QString();
}

void PackageRecord::fillApkRecord(QVariantMap &record, const QString &badging, const QString &packagePath,
                                  const QString &workFolder, const QString &iconEntry)
{
    record.clear();
    record.insert(u"packageName"_s, getAPKPropertyWithInfo(badging, PackageNamePattern).value_or(u""_s));
    record.insert(u"appVersion"_s, getAPKPropertyWithInfo(badging, VersionNamePattern).value_or(u""_s));
    record.insert(u"appBuild"_s, getAPKPropertyWithInfo(badging, VersionCodePattern).value_or(u""_s));
    record.insert(u"appName"_s, getAPKPropertyWithInfo(badging, LabelPattern).value_or(u""_s));
    const QString icon = iconEntry.isEmpty() ? apkIconEntry(badging) : iconEntry;
    record.insert(u"iconPath"_s, icon.isEmpty() ? QString(u""_s) : QString(workFolder + u'/' + icon));
    record.insert(u"fileSize"_s, PackageFormat::fileSizeOf(packagePath));
    record.insert(u"createdDate"_s, PackageFormat::createdDateOf(packagePath));
}
