#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// One archived build: a folder holding Products/Applications/<name>.app with the application's
// Info.plist, its icons and embedded.mobileprovision. Set archivePath once; the other values are
// derived from the disk on first use.
//
// A value that was found is kept for the model's life (later reads do not touch the disk, even if
// the files change); a value that came out absent is looked for again on the next read. The first
// read of any of them reads, through one handle of the archive folder, whatever is still absent:
// the folder's time, the application folder's name and the four Info.plist values (one parse).
// provisionFileName is never kept: it is read anew on every call.
//
// Plain value type for the main thread; copies carry what was kept so far.
class QDArchiveModel final
{
public:
    QDArchiveModel() = default;
    explicit QDArchiveModel(const QString &archivePath);

    QString archivePath() const { return m_archivePath; }
    void setArchivePath(const QString &archivePath) { m_archivePath = archivePath; }

    // Name of the application folder: the last entry of "<archive>/Products/Applications", in name
    // order, whose name contains ".app" anywhere (so "My.apple" counts).
    std::optional<QString> packageName() const;
    // The file showing the application's icon (see ArchiveIcon: Icon.png, the icons the archive's
    // or the application's Info.plist names, a decoded copy of a crushed one in the work folder);
    // "<archive>/Products/Applications/<packageName>/Icon.png", which need not exist, when there is
    // none. Nothing while there is no application folder. Kept once found.
    std::optional<QString> iconPath() const;
    // CFBundleIdentifier, CFBundleShortVersionString, CFBundleVersion of the application's Info.plist
    // (XML or binary). A value that is not a string counts as absent.
    std::optional<QString> identifier() const;
    std::optional<QString> version() const;
    std::optional<QString> build() const;
    // CFBundleDisplayName whenever that key is present (even empty), otherwise CFBundleName.
    std::optional<QString> appName() const;
    // Modification time of the archive folder itself; invalid when it cannot be read.
    QDateTime lastModifiedDate() const;
    // The "Name" of the provisioning profile embedded in the application, taken from the XML
    // between "<plist" and "</plist>" of the signed container. Logs "unable to find beginning of
    // plist", "unable to find end of plist" or "error parsing extracted plist — <reason>" when the
    // profile is malformed; a missing profile gives nothing and logs nothing.
    std::optional<QString> provisionFileName() const;

    // Path of the application's Info.plist; empty while there is no application folder.
    QString infoPlistPath() const;

    // The profile name held in the bytes of a provisioning profile, as provisionFileName reads it.
    static std::optional<QString> profileNameFromData(const QByteArray &profile);

private:
    void refresh() const;
    QString applicationPath() const;

    QString m_archivePath;
    mutable std::optional<QString> m_packageName;
    mutable std::optional<QString> m_identifier;
    mutable std::optional<QString> m_version;
    mutable std::optional<QString> m_build;
    mutable std::optional<QString> m_appName;
    mutable std::optional<QString> m_iconPath;
    mutable QDateTime m_lastModified;
};
