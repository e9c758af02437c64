#include "server/PackageReader.h"

using namespace Qt::StringLiterals;

PackageInfo PackageReader::read(const QString &path, const QString &fileName)
{
    Q_UNUSED(path);
    Q_UNUSED(fileName);
    PackageInfo info;
    info.error = u"本地服务尚未接入安装包检查"_s;
    return info;
}
