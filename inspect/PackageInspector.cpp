#include "inspect/PackageInspector.h"

#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/WorkFolder.h"
#include "inspect/AaptRun.h"
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
    QByteArray icon;
    QString error;
};

// Reads the chosen application's Info.plist; with unpackTo set, its Info.plist and Icon.png are
// written there too (replacing what an earlier package left at those two paths).
IpaContents readIpa(const QString &path, const QString &unpackTo, QStringList *written, bool wantIcon)
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
    const QString plistEntry = u"Payload/"_s + contents.appFolder + u"/Info.plist"_s;
    const QString iconEntry = u"Payload/"_s + contents.appFolder + u"/Icon.png"_s;
    if (!unpackTo.isEmpty()) {
        for (const QString &name : {plistEntry, iconEntry}) {
            removeStaleFile(unpackTo, name);
            const ZipEntry *entry = zip.entry(name);
            if (entry && !entry->isDirectory) {
                zip.extractEntry(name, unpackTo, true, PackageInspector::MaxUnpackedEntryBytes);
                if (written)
                    *written += zip.writtenPaths();
            }
        }
    }
    // The record is read from the package itself, never from the unpacked copy: the work folder
    // is shared by every process of the user, and another inspection (the desktop program's, or
    // a quillo command's) may replace or remove that copy at any moment.
    bool ok = false;
    const QByteArray bytes = zip.readEntry(plistEntry, PropertyList::DefaultMaxBytes, &ok);
    if (ok)
        contents.info = PropertyList::dictionaryFromData(bytes, &contents.error);
    else
        contents.error = zip.errorString();
    if (wantIcon)
        contents.icon = zip.readEntry(iconEntry, PackageInspector::MaxUnpackedEntryBytes);
    return contents;
}

// Writes the icon entry that badging names below unpackTo (replacing a stale file there).
void unpackApkIcon(const QString &packagePath, const QString &icon, const QString &unpackTo, QStringList *written,
                   QByteArray *bytes)
{
    if (icon.isEmpty())
        return;
    ZipReader zip;
    if (!zip.UnzipOpenFile(packagePath)) {
        qCWarning(lcInspect).noquote() << "Cannot read package" << packagePath << "-" << zip.errorString();
        return;
    }
    // The exported package lives in the same folder under a name ending in ".ipa"; never replace one.
    if (!unpackTo.isEmpty() && !icon.endsWith(u".ipa"_s, Qt::CaseInsensitive)) {
        removeStaleFile(unpackTo, icon);
        const ZipEntry *entry = zip.entry(icon);
        if (entry && !entry->isDirectory) {
            zip.extractEntry(icon, unpackTo, true, PackageInspector::MaxUnpackedEntryBytes);
            if (written)
                *written += zip.writtenPaths();
        }
    }
    if (bytes)
        *bytes = zip.readEntry(icon, PackageInspector::MaxUnpackedEntryBytes);
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
    const IpaContents contents = readIpa(path, folder, &m_unpacked, false);
    PackageRecord::fillIpaRecord(m_delegate->appInfo(), contents.info, contents.appFolder, path,
                                 folder.isEmpty() ? WorkFolder::path() : folder);
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
    unpackApkIcon(m_packagePath, PackageRecord::apkIconEntry(info), folder, &m_unpacked, nullptr);
    PackageRecord::fillApkRecord(m_delegate->appInfo(), info, m_packagePath,
                                 folder.isEmpty() ? WorkFolder::path() : folder);
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
        const IpaContents contents = readIpa(path, unpackFolder.isEmpty() ? QString() : recordFolder, &written, true);
        PackageRecord::fillIpaRecord(identity.appInfo, contents.info, contents.appFolder, path, recordFolder);
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
    unpackApkIcon(path, PackageRecord::apkIconEntry(*text), unpackFolder.isEmpty() ? QString() : recordFolder,
                  &written, &identity.icon);
    PackageRecord::fillApkRecord(identity.appInfo, *text, path, recordFolder);
    identity.ok = true;
    return identity;
}
