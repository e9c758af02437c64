#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// The folders in which the recent-builds list looks for packages besides the archives: the
// preference "buildFolders", a list of absolute folder paths in the preferences store, edited in
// the Advanced pane and by "quillo builds --add/--remove". Paths are kept cleaned (no "." or ".."
// parts, no trailing slash) and each once; entries that are not absolute paths are ignored.
//
// Changes made in this process are announced by changed() on the one notifier, so the
// recent-builds screen follows the pane at once. Main thread only.
class BuildFolders final : public QObject
{
    Q_OBJECT
public:
    static inline const QString kPreferenceKey = QStringLiteral("buildFolders");

    enum class Change { Changed, Unchanged, NotWritten };

    static BuildFolders &notifier();

    static QStringList folders();
    // Absolute (relative to the current folder) and cleaned; an empty text stays empty.
    static QString normalized(const QString &folder);
    // Adds or removes one folder (normalized first) and writes the store at once.
    static Change add(const QString &folder);
    static Change remove(const QString &folder);
    static Change setFolders(const QStringList &folders);

signals:
    void changed();

private:
    BuildFolders() = default;
};
