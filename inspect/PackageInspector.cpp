#include "inspect/PackageInspector.h"

#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/WorkFolder.h"
#include "inspect/AaptRun.h"
#include "inspect/IconChoice.h"
#include "inspect/IconImage.h"
#include "inspect/Logging.h"
#include "inspect/PackageRecord.h"
#include "inspect/PropertyList.h"
#include "inspect/ZipReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStringDecoder>

#include <cerrno>
#include <limits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

enum class Removal { Removed, Absent, NotEmpty, Failed };

// Removes root/relative without following a link anywhere on the way, so that nothing outside
// root can be removed whatever has been put below it.
Removal removeBelow(const QString &root, const QString &relative, QString *error)
{
    const QStringList components = ZipReader::safePath(relative).split(u'/', Qt::SkipEmptyParts);
    if (components.isEmpty()) {
        *error = u"%1 is not below %2"_s.arg(relative, root);
        return Removal::Failed;
    }
    int folder = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int openError = folder < 0 ? errno : 0;
    for (qsizetype i = 0; folder >= 0 && i + 1 < components.size(); ++i) {
        const int next = ::openat(folder, QFile::encodeName(components.at(i)).constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        openError = next < 0 ? errno : 0;
        ::close(folder);
        folder = next;
    }
    if (folder < 0) {
        if (openError == ENOENT)
            return Removal::Absent;
        *error = u"%1: %2"_s.arg(relative, QString::fromLocal8Bit(std::strerror(openError)));
        return Removal::Failed;
    }
    const QByteArray name = QFile::encodeName(components.last());
    struct stat st {};
    Removal result = Removal::Removed;
    if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        result = Removal::Absent;
    } else if (::unlinkat(folder, name.constData(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) {
            result = Removal::NotEmpty;
        } else {
            *error = u"%1: %2"_s.arg(relative, QString::fromLocal8Bit(std::strerror(errno)));
            result = Removal::Failed;
        }
    }
    ::close(folder);
    return result;
}

// A file (or link) left at a path the record names, by an inspection that was never cleaned up.
void removeStaleFile(const QString &root, const QString &relative)
{
    QString error;
    const QFileInfo info(root + u'/' + relative);
    if ((info.isSymLink() || info.isFile()) && removeBelow(root, relative, &error) == Removal::Failed)
        qCWarning(lcInspect).noquote() << "Delete folder error" << error;
}

struct IpaContents
{
    bool opened = false;
    QString appFolder;
    std::optional<QVariantMap> info;
    QString iconFile; // relative to the application folder; empty without a usable icon
    QByteArray icon; // an ordinary PNG
    QString error;
};

// The application folder's icon, chosen among its entries and converted into an ordinary PNG;
// empty (after one log line) when there is none that can be shown.
IconChoice::Choice chooseIpaIcon(ZipReader &zip, const QString &appFolder, const QVariantMap &info, QByteArray *png)
{
    const QString prefix = u"Payload/"_s + appFolder + u'/';
    QStringList files;
    for (const ZipEntry &entry : zip.entries()) {
        if (entry.isSafe && !entry.isDirectory && entry.path.startsWith(prefix))
            files.append(entry.path.mid(prefix.size()));
    }
    const std::optional<IconChoice::Choice> choice = IconChoice::choose(
        IconChoice::ipaCandidates(info, files),
        [&](const QString &file) {
            const ZipEntry *entry = zip.entry(prefix + file);
            return entry ? qint64(qMin<quint64>(entry->size, quint64(std::numeric_limits<qint64>::max()))) : -1;
        },
        [&](const QString &file) { return zip.readEntryHead(prefix + file, IconImage::HeaderBytes); });
    if (!choice)
        return {};
    QString error;
    const QByteArray bytes = zip.readEntry(prefix + choice->file, IconImage::MaxEntryBytes);
    *png = IconImage::toPng(bytes, &error);
    if (png->isEmpty()) {
        qCWarning(lcInspect).noquote() << "Icon not shown:" << choice->file << "-" << error;
        return {};
    }
    return *choice;
}

// Reads the chosen application's Info.plist and icon; with unpackTo set, its Info.plist and the
// icon as an ordinary PNG are written there too (replacing what an earlier package left there).
IpaContents readIpa(const QString &path, const QString &unpackTo, QStringList *written)
{
    IpaContents contents;
    ZipReader zip;
    if (!zip.UnzipOpenFile(path)) {
        contents.error = u"cannot open %1: %2"_s.arg(path, zip.errorString());
        qCWarning(lcInspect).noquote() << "Cannot read package" << path << "-" << zip.errorString();
        return contents;
    }
    contents.opened = true;
    contents.appFolder = PackageRecord::applicationFolder(zip.entries());
    if (contents.appFolder.isEmpty()) {
        contents.error = u"no application folder below Payload"_s;
        return contents;
    }
    const QString appEntry = u"Payload/"_s + contents.appFolder + u'/';
    // The record is read from the package itself, never from the unpacked copy: the work folder
    // is shared by every process of the user, and another inspection (the desktop program's, or
    // a quillo command's) may replace or remove that copy at any moment.
    bool ok = false;
    const QByteArray bytes = zip.readEntry(appEntry + u"Info.plist"_s, PropertyList::DefaultMaxBytes, &ok);
    if (ok)
        contents.info = PropertyList::dictionaryFromData(bytes, &contents.error);
    else
        contents.error = zip.errorString();
    contents.iconFile = chooseIpaIcon(zip, contents.appFolder, contents.info.value_or(QVariantMap()), &contents.icon).file;

    if (!unpackTo.isEmpty()) {
        removeStaleFile(unpackTo, appEntry + u"Info.plist"_s);
        removeStaleFile(unpackTo, appEntry + u"Icon.png"_s);
        const ZipEntry *plist = zip.entry(appEntry + u"Info.plist"_s);
        if (plist && !plist->isDirectory) {
            zip.extractEntry(appEntry + u"Info.plist"_s, unpackTo, true, PackageInspector::MaxUnpackedEntryBytes);
            if (written)
                *written += zip.writtenPaths();
        }
        QString error;
        if (!contents.iconFile.isEmpty()
            && !ZipReader::writeFile(unpackTo, appEntry + contents.iconFile, contents.icon, written, &error)) {
            qCWarning(lcInspect).noquote() << "Cannot write the icon" << error;
            contents.iconFile.clear();
        }
    }
    return contents;
}

// Writes the icon entry chosen from badging and the package's entries below unpackTo (replacing
// a stale file there); *bytes gets it as an ordinary PNG. Returns the entry, or "" with none.
QString unpackApkIcon(const QString &packagePath, const QString &badging, const QString &unpackTo, QStringList *written,
                      QByteArray *bytes)
{
    ZipReader zip;
    if (packagePath.isEmpty() || !zip.UnzipOpenFile(packagePath)) {
        if (!packagePath.isEmpty())
            qCWarning(lcInspect).noquote() << "Cannot read package" << packagePath << "-" << zip.errorString();
        return {};
    }
    QStringList entries;
    for (const ZipEntry &entry : zip.entries()) {
        if (entry.isSafe && !entry.isDirectory)
            entries.append(entry.path);
    }
    bool sameName = false;
    const QStringList candidates = IconChoice::apkCandidates(badging, entries, &sameName);
    const std::optional<IconChoice::Choice> choice = IconChoice::choose(
        candidates,
        [&](const QString &file) {
            const ZipEntry *entry = zip.entry(file);
            return entry ? qint64(qMin<quint64>(entry->size, quint64(std::numeric_limits<qint64>::max()))) : -1;
        },
        [&](const QString &file) { return zip.readEntryHead(file, IconImage::HeaderBytes); }, !sameName);
    // The exported package lives in the same folder under a name ending in ".ipa"; never replace one.
    if (!choice || choice->file.endsWith(u".ipa"_s, Qt::CaseInsensitive))
        return {};
    if (!unpackTo.isEmpty()) {
        removeStaleFile(unpackTo, choice->file);
        if (!zip.extractEntry(choice->file, unpackTo, true, IconImage::MaxEntryBytes))
            return {};
        if (written)
            *written += zip.writtenPaths();
    }
    if (bytes) {
        QString error;
        *bytes = IconImage::toPng(zip.readEntry(choice->file, IconImage::MaxEntryBytes), &error);
        if (bytes->isEmpty())
            qCWarning(lcInspect).noquote() << "Icon not converted:" << choice->file << "-" << error;
    }
    return choice->file;
}

// Strict UTF-8: output that is not valid UTF-8 is not badging.
std::optional<QString> decodeOutput(const QByteArray &output)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder.decode(output);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

PackageInspector::PackageInspector(InspectionDelegate *delegate, QObject *parent)
    : QObject(parent)
    , m_delegate(delegate)
{
    Q_ASSERT(delegate);
}

PackageInspector::~PackageInspector() = default;

QString PackageInspector::unpackFolder()
{
    QString error;
    const QString folder = WorkFolder::ensure(&error);
    if (folder.isEmpty())
        qCWarning(lcInspect).noquote() << "Nothing unpacked: the work folder cannot be used -" << error;
    return folder;
}

void PackageInspector::ParseIPA(const QString &path)
{
    ++m_generation;
    m_waitingForTool = false;
    m_packagePath = path;
    m_delegate->setFilePath(path);
    m_delegate->setAppType(1);
    removeUnpacked();

    const QString folder = unpackFolder();
    m_unpackRoot = folder;
    const IpaContents contents = readIpa(path, folder, &m_unpacked);
    PackageRecord::fillIpaRecord(m_delegate->appInfo(), contents.info, contents.appFolder, path,
                                 folder.isEmpty() ? WorkFolder::path() : folder, contents.iconFile);
    m_delegate->prepareUpload(u"ios"_s);
}

void PackageInspector::ParseAPK(const QString &path)
{
    const quint64 generation = ++m_generation;
    m_packagePath = path;
    m_delegate->setFilePath(path);
    m_delegate->setAppType(2);
    removeUnpacked();

    m_waitingForTool = true;
    AaptRun *run = AaptRun::start(Config::resourcePath(u"aapt"_s), path);
    connect(run, &AaptRun::finished, this,
            [this, generation](AaptRun::Outcome outcome, const QByteArray &output, const QString &detail) {
                if (generation != m_generation)
                    return; // superseded by a later inspection
                m_waitingForTool = false;
                handleToolResult(static_cast<int>(outcome), output, detail);
            });
}

void PackageInspector::handleToolResult(int outcome, const QByteArray &output, const QString &detail)
{
    switch (static_cast<AaptRun::Outcome>(outcome)) {
    case AaptRun::Outcome::ToolMissing:
        fail(InspectionFailure::ToolMissing, detail);
        return;
    case AaptRun::Outcome::ToolFailed:
        fail(InspectionFailure::ToolFailed, detail);
        return;
    case AaptRun::Outcome::Output:
        break;
    }
    const std::optional<QString> text = decodeOutput(output);
    if (!text || !DataCheck::isValidString(*text)) {
        fail(InspectionFailure::NoOutput, text ? u"aapt printed nothing"_s : u"aapt output is not UTF-8"_s);
        return;
    }
    parseBadgingInfo(*text);
}

void PackageInspector::fail(InspectionFailure failure, const QString &detail)
{
    qCWarning(lcInspect).noquote() << "Android package not inspected:" << detail;
    const QPointer<PackageInspector> self(this);
    Q_EMIT inspectionFailed(failure, detail);
    if (self)
        m_delegate->inspectionFailed(failure, detail);
}

void PackageInspector::parseBadgingInfo(const QString &info)
{
    removeUnpacked();
    const QString folder = unpackFolder();
    m_unpackRoot = folder;
    const QString icon = unpackApkIcon(m_packagePath, info, folder, &m_unpacked, nullptr);
    PackageRecord::fillApkRecord(m_delegate->appInfo(), info, m_packagePath,
                                 folder.isEmpty() ? WorkFolder::path() : folder, icon);
    m_delegate->prepareUpload(u"android"_s);
}

std::optional<QString> PackageInspector::getAPKPropertyWithInfo(const QString &info, const QString &pattern)
{
    return PackageRecord::getAPKPropertyWithInfo(info, pattern);
}

void PackageInspector::removeUnpacked()
{
    const QStringList paths = m_unpacked;
    m_unpacked.clear();
    if (m_unpackRoot.isEmpty())
        return;
    const QString prefix = m_unpackRoot + u'/';
    for (auto it = paths.crbegin(); it != paths.crend(); ++it) {
        if (it->endsWith(u".ipa"_s) || !it->startsWith(prefix))
            continue;
        QString error;
        if (removeBelow(m_unpackRoot, it->mid(prefix.size()), &error) == Removal::Failed)
            qCWarning(lcInspect).noquote() << "Delete folder error" << error;
    }
}

PackageInspector::Identity PackageInspector::inspect(const QString &path, int appType, const QString &unpackFolder,
                                                     int aaptTimeoutMs)
{
    Identity identity;
    if (appType == 0) {
        if (path.endsWith(u".ipa"_s, Qt::CaseInsensitive))
            appType = 1;
        else if (path.endsWith(u".apk"_s, Qt::CaseInsensitive))
            appType = 2;
    }
    identity.appType = appType;
    const QString recordFolder = unpackFolder.isEmpty() ? WorkFolder::path() : QDir::cleanPath(unpackFolder);
    QStringList written;

    if (appType == 1) {
        const IpaContents contents = readIpa(path, unpackFolder.isEmpty() ? QString() : recordFolder, &written);
        PackageRecord::fillIpaRecord(identity.appInfo, contents.info, contents.appFolder, path, recordFolder,
                                     contents.iconFile);
        identity.ok = contents.info.has_value();
        identity.icon = contents.icon;
        identity.error = contents.error;
        return identity;
    }
    if (appType != 2) {
        identity.error = u"not an .ipa or .apk package"_s;
        return identity;
    }

    const AaptRun::Result run = AaptRun::runBlocking(Config::resourcePath(u"aapt"_s), path, aaptTimeoutMs);
    if (run.outcome != AaptRun::Outcome::Output) {
        identity.failure = run.outcome == AaptRun::Outcome::ToolMissing ? InspectionFailure::ToolMissing
                                                                        : InspectionFailure::ToolFailed;
        identity.error = run.detail;
        return identity;
    }
    const std::optional<QString> text = decodeOutput(run.output);
    if (!text || !DataCheck::isValidString(*text)) {
        identity.failure = InspectionFailure::NoOutput;
        identity.error = text ? u"aapt printed nothing"_s : u"aapt output is not UTF-8"_s;
        return identity;
    }
    const QString icon = unpackApkIcon(path, *text, unpackFolder.isEmpty() ? QString() : recordFolder, &written,
                                       &identity.icon);
    PackageRecord::fillApkRecord(identity.appInfo, *text, path, recordFolder, icon);
    identity.ok = true;
    return identity;
}
