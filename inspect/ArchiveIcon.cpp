#include "inspect/ArchiveIcon.h"

#include "app/WorkFolder.h"
#include "inspect/IconChoice.h"
#include "inspect/IconImage.h"
#include "inspect/Logging.h"
#include "inspect/PropertyList.h"
#include "inspect/ZipReader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

const QString CacheSubfolder = u"icon-cache"_s;

QByteArray readFile(const QString &path, qint64 count)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(count);
}

// The files that the archive's Info.plist names, relative to the archive folder.
QStringList namedByArchive(const QString &archivePath)
{
    const std::optional<QVariantMap> info = PropertyList::dictionaryFromFile(archivePath + u"/Info.plist"_s);
    if (!info)
        return {};
    QStringList files;
    const QVariant paths = info->value(u"ApplicationProperties"_s).toMap().value(u"IconPaths"_s);
    for (const QVariant &item : paths.toList()) {
        if (item.metaType() != QMetaType::fromType<QString>())
            continue;
        QString reason;
        const QString safe = ZipReader::safePath(item.toString(), &reason);
        if (safe.isEmpty())
            qCWarning(lcInspect).noquote() << "Icon path skipped:" << item.toString() << "-" << reason;
        else if (QFileInfo(archivePath + u"/Products/"_s + safe).isFile())
            files.append(u"Products/"_s + safe);
    }
    return files;
}

// The candidates inside the application folder, relative to the archive folder.
QStringList namedByApplication(const QString &archivePath, const QString &application)
{
    const QString folder = archivePath + u'/' + application;
    const std::optional<QVariantMap> info = PropertyList::dictionaryFromFile(folder + u"/Info.plist"_s);
    const QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    QStringList candidates;
    for (const QString &file : IconChoice::ipaCandidates(info.value_or(QVariantMap()), files))
        candidates.append(application + u'/' + file);
    return candidates;
}

// A decoded copy of a crushed icon in the work folder, made once per file version:
// icon-cache/<hash of the archive's and the icon's paths>/<modification time>-<size>.png.
QString decodedCopy(const QString &archivePath, const QString &source)
{
    const QFileInfo info(source);
    const QString key = QString::fromLatin1(
        QCryptographicHash::hash((archivePath + QChar(0) + source).toUtf8(), QCryptographicHash::Sha1).toHex());
    const QString name = u"%1-%2.png"_s.arg(info.lastModified().toMSecsSinceEpoch()).arg(info.size());
    const QString relative = CacheSubfolder + u'/' + key + u'/' + name;
    QString error;
    const QString work = WorkFolder::ensure(&error);
    if (work.isEmpty())
        return {};
    const QString folder = work + u'/' + CacheSubfolder + u'/' + key;
    if (QFileInfo(folder + u'/' + name).isFile())
        return folder + u'/' + name;
    if (QFileInfo::exists(folder + u'/' + name + u".bad"_s))
        return {}; // this version was found undecodable before (and logged then)

    for (const QString &old : QDir(folder).entryList(QDir::Files)) // earlier versions of this icon
        QFile::remove(folder + u'/' + old);
    const QByteArray png = IconImage::decodeCrushed(readFile(source, IconImage::MaxEntryBytes), &error);
    if (png.isEmpty()) {
        qCWarning(lcInspect).noquote() << "Icon not shown:" << source << "-" << error;
        ZipReader::writeFile(work, relative + u".bad"_s, QByteArray(), nullptr);
        return {};
    }
    if (!ZipReader::writeFile(work, relative, png, nullptr, &error)) {
        qCWarning(lcInspect).noquote() << "Icon not cached:" << error;
        return {};
    }
    return folder + u'/' + name;
}

} // namespace

QString ArchiveIcon::cacheFolder()
{
    return WorkFolder::path() + u'/' + CacheSubfolder;
}

QString ArchiveIcon::find(const QString &archivePath, const QString &appFolder)
{
    const QString application = u"Products/Applications/"_s + appFolder;
    QStringList candidates;
    if (QFileInfo(archivePath + u'/' + application + u"/Icon.png"_s).isFile())
        candidates = QStringList { application + u"/Icon.png"_s };
    if (candidates.isEmpty())
        candidates = namedByArchive(archivePath);
    if (candidates.isEmpty())
        candidates = namedByApplication(archivePath, application);

    const std::optional<IconChoice::Choice> choice = IconChoice::choose(
        candidates,
        [&](const QString &file) {
            const QFileInfo info(archivePath + u'/' + file);
            return info.isFile() ? info.size() : qint64(-1);
        },
        [&](const QString &file) { return readFile(archivePath + u'/' + file, IconImage::HeaderBytes); });
    if (!choice)
        return {};
    const QString path = archivePath + u'/' + choice->file;
    return choice->header.kind == IconImage::Kind::CrushedPng ? decodedCopy(archivePath, path) : path;
}
