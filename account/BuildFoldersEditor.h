#pragma once

#include <QFileDialog>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

class QListWidget;
class QPushButton;

// The build folders of the Advanced pane: the preference "buildFolders" as a list with add (a
// folder picker) and remove. A folder that cannot be read gets a second line saying why
// ("文件夹不存在", "无法读取：…"); that is looked up off the main thread, since a folder on a slow
// network mount may take seconds to answer.
class BuildFoldersEditor final : public QWidget
{
    Q_OBJECT
public:
    explicit BuildFoldersEditor(QWidget *parent = nullptr);

    // Shows the stored folders and checks each of them.
    void reload();

    QListWidget *folderList() const { return m_list; }
    QPushButton *addButton() const { return m_addButton; }
    QPushButton *removeButton() const { return m_removeButton; }
    // The picker while it is open (not modal: it runs no event loop of its own).
    QFileDialog *folderDialog() const { return m_dialog; }
    // Folders whose check has not come back yet.
    bool isChecking() const { return !m_pending.isEmpty(); }

    void addButtonClicked();
    void removeButtonClicked();
    // Adds a folder as the picker does.
    void addFolder(const QString &folder);

signals:
    // A check came back and the list shows it.
    void folderChecked(const QString &folder);

private:
    void showFolders();
    void check(const QString &folder);
    void checked(const QString &folder, const QString &problem);

    QListWidget *m_list;
    QPushButton *m_addButton;
    QPushButton *m_removeButton;
    QPointer<QFileDialog> m_dialog;
    QStringList m_folders;
    QHash<QString, QString> m_problems; // folder → why it cannot be read ("" when it can)
    QHash<QString, int> m_pending; // folder → checks under way
};
