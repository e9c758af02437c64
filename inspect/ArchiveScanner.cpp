#include "inspect/ArchiveScanner.h"

#include "app/DataCheck.h"

#include <QDir>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Every entry but "." and "..", hidden ones included so that the dot rule is ours, unsorted.
QStringList listing(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
}

} // namespace

ArchiveScanner::Result ArchiveScanner::scan(const QString &archivesDir)
{
    Result result;
    for (const QString &first : listing(archivesDir)) {
        if (first.startsWith(u'.'))
            continue;
        const QString firstPath = archivesDir + u'/' + first;
        for (const QString &inner : listing(firstPath)) {
            if (inner.startsWith(u'.'))
                continue;
            QDArchiveModel model(firstPath + u'/' + inner);
            const std::optional<QString> identifier = model.identifier();
            if (identifier && DataCheck::isValidString(*identifier))
                result.recentlyBuild.append(model);
        }
    }
    result.sortedRecentlyBuild = newestFirst(result.recentlyBuild);
    return result;
}

QList<QDArchiveModel> ArchiveScanner::newestFirst(QList<QDArchiveModel> archives)
{
    std::stable_sort(archives.begin(), archives.end(), [](const QDArchiveModel &a, const QDArchiveModel &b) {
        const QDateTime left = a.lastModifiedDate();
        const QDateTime right = b.lastModifiedDate();
        if (left.isValid() != right.isValid())
            return left.isValid();
        return left.isValid() && left > right;
    });
    return archives;
}
