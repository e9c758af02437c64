#include "inspect/QDArchiveModel.h"

#include "inspect/ArchiveIcon.h"
#include "inspect/Logging.h"
#include "inspect/PropertyList.h"

#include <QFile>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Profiles are a few kilobytes; anything this large is not one.
constexpr qint64 MaxProfileBytes = 8 * 1024 * 1024;

// The names in a folder below an open one, without "." and "..". A bare readdir: the
// recent-builds list reads this for every archive, and QDir's per-entry information would double the cost.
QStringList folderEntries(int directoryFd, const char *relative)
{
    QStringList names;
    const int fd = ::openat(directoryFd, relative, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return names;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if ((name[0] == '.' && name[1] == '\0') || (name[0] == '.' && name[1] == '.' && name[2] == '\0'))
            continue;
        names.append(QFile::decodeName(name));
    }
    ::closedir(dir);
    return names;
}

std::optional<QString> stringValue(const QVariantMap &map, const QString &key)
{
    const auto it = map.constFind(key);
    if (it == map.constEnd() || it->metaType() != QMetaType::fromType<QString>())
        return std::nullopt;
    return it->toString();
}

} // namespace

QDArchiveModel::QDArchiveModel(const QString &archivePath)
    : m_archivePath(archivePath)
{
}

void QDArchiveModel::refresh() const
{
    if (m_archivePath.isEmpty())
        return;
    // Everything below goes through one handle of the archive folder, so each path is walked once.
    const int archive = ::open(QFile::encodeName(m_archivePath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (archive < 0)
        return;
    if (!m_lastModified.isValid()) {
        struct stat st {};
        if (::fstat(archive, &st) == 0)
            m_lastModified =
                QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000);
    }
    if (!m_packageName) {
        QStringList names = folderEntries(archive, "Products/Applications");
        std::sort(names.begin(), names.end());
        for (const QString &name : std::as_const(names)) {
            if (name.contains(u".app"_s))
                m_packageName = name;
        }
    }
    if (m_packageName && (!m_identifier || !m_version || !m_build || !m_appName)) {
        static const QStringList keys{u"CFBundleIdentifier"_s, u"CFBundleShortVersionString"_s, u"CFBundleVersion"_s,
                                     u"CFBundleDisplayName"_s, u"CFBundleName"_s};
        const std::optional<QVariantMap> info = PropertyList::dictionaryFromFileAt(
            archive, u"Products/Applications/"_s + *m_packageName + u"/Info.plist"_s, nullptr,
            PropertyList::DefaultMaxBytes, keys);
        if (info) {
            if (!m_identifier)
                m_identifier = stringValue(*info, u"CFBundleIdentifier"_s);
            if (!m_version)
                m_version = stringValue(*info, u"CFBundleShortVersionString"_s);
            if (!m_build)
                m_build = stringValue(*info, u"CFBundleVersion"_s);
            if (!m_appName) {
                if (info->contains(u"CFBundleDisplayName"_s))
                    m_appName = stringValue(*info, u"CFBundleDisplayName"_s);
                else
                    m_appName = stringValue(*info, u"CFBundleName"_s);
            }
        }
    }
    ::close(archive);
}

std::optional<QString> QDArchiveModel::packageName() const
{
    if (!m_packageName)
        refresh();
    return m_packageName;
}

QString QDArchiveModel::applicationPath() const
{
    const std::optional<QString> folder = packageName();
    if (!folder)
        return {};
    return m_archivePath + u"/Products/Applications/"_s + *folder;
}

std::optional<QString> QDArchiveModel::iconPath() const
{
    if (m_iconPath)
        return m_iconPath;
    const QString application = applicationPath();
    if (application.isEmpty())
        return std::nullopt;
    const QString found = ArchiveIcon::find(m_archivePath, *m_packageName);
    m_iconPath = found.isEmpty() ? application + u"/Icon.png"_s : found;
    return m_iconPath;
}

QString QDArchiveModel::infoPlistPath() const
{
    const QString application = applicationPath();
    return application.isEmpty() ? QString() : application + u"/Info.plist"_s;
}

std::optional<QString> QDArchiveModel::identifier() const
{
    if (!m_identifier)
        refresh();
    return m_identifier;
}

std::optional<QString> QDArchiveModel::version() const
{
    if (!m_version)
        refresh();
    return m_version;
}

std::optional<QString> QDArchiveModel::build() const
{
    if (!m_build)
        refresh();
    return m_build;
}

std::optional<QString> QDArchiveModel::appName() const
{
    if (!m_appName)
        refresh();
    return m_appName;
}

QDateTime QDArchiveModel::lastModifiedDate() const
{
    if (!m_lastModified.isValid())
        refresh();
    return m_lastModified;
}

std::optional<QString> QDArchiveModel::provisionFileName() const
{
    const QString application = applicationPath();
    if (application.isEmpty())
        return std::nullopt;
    QFile file(application + u"/embedded.mobileprovision"_s);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(MaxProfileBytes + 1);
    if (bytes.size() > MaxProfileBytes)
        return std::nullopt;
    return profileNameFromData(bytes);
}

std::optional<QString> QDArchiveModel::profileNameFromData(const QByteArray &profile)
{
    // One character per byte, so that the signed container's binary parts cannot upset the search.
    const QString text = QString::fromLatin1(profile);
    const qsizetype begin = text.indexOf(u"<plist"_s);
    if (begin < 0) {
        qCWarning(lcInspect, "unable to find beginning of plist");
        return std::nullopt;
    }
    const qsizetype end = text.indexOf(u"</plist>"_s, begin);
    if (end < 0) {
        qCWarning(lcInspect, "unable to find end of plist");
        return std::nullopt;
    }
    const QString extracted = text.mid(begin, end - begin) + u"</plist>"_s;
    QString error;
    const QVariant parsed = PropertyList::fromData(extracted.toLatin1(), &error);
    if (!parsed.isValid()) {
        qCWarning(lcInspect).noquote() << u"error parsing extracted plist — %1"_s.arg(error);
        return std::nullopt;
    }
    const QVariant name = parsed.toMap().value(u"Name"_s);
    if (name.metaType() != QMetaType::fromType<QString>())
        return std::nullopt;
    return name.toString();
}
