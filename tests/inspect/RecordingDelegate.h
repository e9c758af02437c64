#pragma once

#include "inspect/InspectionDelegate.h"

#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>

// Stands in for the upload controller: holds the record and notes every call.
class RecordingDelegate final : public InspectionDelegate
{
public:
    QVariantMap &appInfo() override { return record; }
    void setFilePath(const QString &path) override
    {
        filePath = path;
        calls.append(QStringLiteral("setFilePath"));
    }
    void setAppType(int type) override
    {
        appType = type;
        calls.append(QStringLiteral("setAppType"));
    }
    void prepareUpload(const QString &platform) override
    {
        platforms.append(platform);
        recordAtPrepare = record;
        calls.append(QStringLiteral("prepareUpload"));
    }
    void inspectionFailed(InspectionFailure reason, const QString &text) override
    {
        failure = reason;
        detail = text;
        calls.append(QStringLiteral("inspectionFailed"));
    }

    QVariantMap record;
    QVariantMap recordAtPrepare;
    QString filePath;
    int appType = 0;
    QStringList platforms;
    QStringList calls;
    std::optional<InspectionFailure> failure;
    QString detail;
};
