#pragma once

#include <QString>
#include <QVariantMap>

// Why an inspection ended without reaching prepareUpload. Only an .apk inspection can end so.
enum class InspectionFailure {
    // No aapt in the resource folder: the window may tell the user that Android packages cannot be read.
    ToolMissing,
    // aapt exists but could not be started, or ran past its time limit and was stopped.
    ToolFailed,
    // aapt printed nothing usable (empty, a lone line feed, or not UTF-8). The window stays
    // silently on the drop target; the record is untouched.
    NoOutput,
};

// What the inspection needs of its owner (the upload controller, or the command line): the record
// it fills, the two properties it sets and the prepare step it ends in. Every call comes on the
// main thread. The owner must outlive the PackageInspector it hands itself to (make the inspector
// its member or child).
class InspectionDelegate
{
public:
    virtual ~InspectionDelegate() = default;

    // The application-information record; the inspection empties it and writes its seven keys
    // (fileSize, createdDate, packageName, appVersion, appBuild, appName, iconPath), all strings.
    virtual QVariantMap &appInfo() = 0;
    virtual void setFilePath(const QString &path) = 0;
    // 1 for an iOS package, 2 for an Android package.
    virtual void setAppType(int appType) = 0;
    // The record is filled; platform is "ios" or "android".
    virtual void prepareUpload(const QString &platform) = 0;
    // The inspection stopped without a record; detail is for the log only.
    virtual void inspectionFailed(InspectionFailure failure, const QString &detail)
    {
        Q_UNUSED(failure);
        Q_UNUSED(detail);
    }
};
