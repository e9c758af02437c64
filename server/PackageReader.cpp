#include "server/PackageReader.h"

#include "server/Logging.h"

#include "inspect/PackageInspector.h"

using namespace Qt::StringLiterals;

PackageInfo PackageReader::read(const QString &path, const QString &fileName)
{
    const bool ios = fileName.endsWith(u"ipa"_s, Qt::CaseInsensitive);
    const PackageInspector::Identity identity = PackageInspector::inspect(path, ios ? 1 : 2);
    PackageInfo info;
    info.platform = ios ? u"ios"_s : u"android"_s;
    if (!identity.ok) {
        qCInfo(lcServer).noquote() << "cannot read" << fileName << ':' << identity.error;
        if (ios)
            info.error = u"找不到应用的 Info.plist（应在 Payload/<应用名>.app/ 中）"_s;
        else if (identity.failure == InspectionFailure::ToolMissing)
            info.error = u"服务缺少 aapt 工具，无法读取 Android 安装包"_s;
        else
            info.error = u"aapt 无法识别该文件"_s;
        return info;
    }
    info.packageName = identity.appInfo.value(u"packageName"_s).toString().trimmed();
    info.name = identity.appInfo.value(u"appName"_s).toString().trimmed();
    info.version = identity.appInfo.value(u"appVersion"_s).toString().trimmed();
    info.build = identity.appInfo.value(u"appBuild"_s).toString().trimmed();
    info.icon = identity.icon;
    if (info.packageName.isEmpty())
        info.error = ios ? u"Info.plist 中缺少 CFBundleIdentifier"_s : u"安装包中缺少包名（package）"_s;
    return info;
}
