#include "builds/BuildFolders.h"

#include "app/Preferences.h"
#include "builds/Logging.h"

#include <QDir>
#include <QVariantList>

using namespace Qt::StringLiterals;

BuildFolders &BuildFolders::notifier()
{
    static BuildFolders instance;
    return instance;
}

QStringList BuildFolders::folders()
{
    QStringList folders;
    const QVariant stored = Preferences::value(kPreferenceKey);
    // A hand-edited store may hold one text instead of a list.
    const QVariantList values = stored.typeId() == QMetaType::QString ? QVariantList { stored } : stored.toList();
    for (const QVariant &value : values) {
        if (value.typeId() != QMetaType::QString)
            continue;
        const QString text = value.toString();
        if (!text.startsWith(u'/'))
            continue;
        const QString folder = normalized(text);
        if (!folders.contains(folder))
            folders.append(folder);
    }
    return folders;
}

QString BuildFolders::normalized(const QString &folder)
{
    if (folder.isEmpty())
        return folder;
    return QDir::cleanPath(QDir::current().absoluteFilePath(folder));
}

BuildFolders::Change BuildFolders::setFolders(const QStringList &list)
{
    QStringList cleaned;
    for (const QString &folder : list) {
        const QString path = normalized(folder);
        if (!path.isEmpty() && !cleaned.contains(path))
            cleaned.append(path);
    }
    if (cleaned == folders())
        return Change::Unchanged;
    Preferences::setValue(kPreferenceKey, cleaned);
    const bool written = Preferences::flush();
    emit notifier().changed();
    if (!written) {
        qCWarning(lcBuilds) << "The build folders could not be saved";
        return Change::NotWritten;
    }
    return Change::Changed;
}

BuildFolders::Change BuildFolders::add(const QString &folder)
{
    const QString path = normalized(folder);
    QStringList list = folders();
    if (path.isEmpty() || list.contains(path))
        return Change::Unchanged;
    list.append(path);
    return setFolders(list);
}

BuildFolders::Change BuildFolders::remove(const QString &folder)
{
    const QString path = normalized(folder);
    QStringList list = folders();
    if (!list.removeAll(path))
        return Change::Unchanged;
    return setFolders(list);
}
