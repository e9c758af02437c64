#pragma once

#include "inspect/InspectionDelegate.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Reads an .ipa or an .apk into its owner's application-information record and ends in the
// owner's prepare step (see InspectionDelegate).
//
// Packages are never unpacked whole: only what the record needs is written into the private work
// folder (WorkFolder), in the layout the record names — Payload/<app>.app/Info.plist and the icon
// of an .ipa (decoded into an ordinary PNG when crushed), the icon entry of an .apk — and
// removeUnpacked() takes away exactly those files and the folders made for them. Which icon:
// see IconChoice. Unsafe entries are never written (see ZipReader).
//
//     class UploadController : public QObject, public InspectionDelegate {
//         PackageInspector m_inspector{this, this};   // delegate, parent
//         ...
//     };
//     m_inspector.ParseIPA(path);   // returns after prepareUpload("ios")
//     m_inspector.ParseAPK(path);   // returns at once; prepareUpload("android") or inspectionFailed later
//
// Main thread only. A new ParseIPA or ParseAPK supersedes an .apk inspection still waiting for
// aapt: the later one wins and the earlier output is dropped.
class PackageInspector final : public QObject
{
    Q_OBJECT
public:
    // Largest entry unpacked for the record (an Info.plist or an icon); larger ones are left packed.
    static constexpr quint64 MaxUnpackedEntryBytes = 32 * 1024 * 1024;

    explicit PackageInspector(InspectionDelegate *delegate, QObject *parent = nullptr);
    ~PackageInspector() override;

    // Sets filePath and appType 1, unpacks the chosen application's Info.plist and Icon.png, fills
    // the record and calls prepareUpload("ios") — always, whatever the package holds.
    void ParseIPA(const QString &path);
    // Sets filePath and appType 2 and starts "<resource folder>/aapt dump badging <path>"; its whole
    // output is read on another thread and handed back here: usable UTF-8 text goes to
    // parseBadgingInfo, anything else ends in inspectionFailed (NoOutput, ToolMissing, ToolFailed)
    // with the record untouched.
    void ParseAPK(const QString &path);
    // Unpacks the icon the text names from the package of the last ParseAPK, fills the record and
    // calls prepareUpload("android").
    void parseBadgingInfo(const QString &info);
    // See PackageRecord::getAPKPropertyWithInfo.
    static std::optional<QString> getAPKPropertyWithInfo(const QString &info, const QString &pattern);

    // True between ParseAPK and the arrival of aapt's output.
    bool isWaitingForTool() const { return m_waitingForTool; }

    // What the last inspection wrote (files and folders, absolute, in the order made).
    QStringList unpackedPaths() const { return m_unpacked; }
    // Removes those files, then those folders when empty. Names ending in ".ipa" are never removed;
    // each failed removal is logged as "Delete folder error <reason>" and the sweep goes on.
    // Also done at the start of every inspection.
    void removeUnpacked();

    // The record of a package without a delegate and without an event loop: for the command line
    // and the service. Blocks while aapt runs; safe on any thread (nothing shared).
    struct Identity
    {
        // The package was read: an .ipa's Info.plist was found and parsed, or aapt printed usable badging.
        bool ok = false;
        int appType = 0; // 1 iOS, 2 Android, 0 unknown
        QVariantMap appInfo; // the seven record keys, as the delegate would get them
        // The icon the record names, as an ordinary PNG (a crushed or WebP icon converted); empty
        // when the package has none that can be shown.
        QByteArray icon;
        std::optional<InspectionFailure> failure; // set for an .apk that aapt could not describe
        QString error; // why not ok, for the log
    };
    // appType 0 decides by the name's ending (".ipa"/".apk", any case). With unpackFolder empty
    // nothing is written and iconPath names where the icon would be below WorkFolder::path().
    static Identity inspect(const QString &path, int appType = 0, const QString &unpackFolder = QString(),
                            int aaptTimeoutMs = 120 * 1000);

Q_SIGNALS:
    // Emitted (before the delegate's inspectionFailed) when an .apk inspection ends without a record.
    void inspectionFailed(InspectionFailure failure, const QString &detail);

private:
    void handleToolResult(int outcome, const QByteArray &output, const QString &detail);
    void fail(InspectionFailure failure, const QString &detail);
    QString unpackFolder();

    InspectionDelegate *m_delegate;
    QString m_packagePath;
    QString m_unpackRoot;
    QStringList m_unpacked;
    quint64 m_generation = 0;
    bool m_waitingForTool = false;
};
