#include "account/BuildFoldersEditor.h"

#include "builds/BuildFolders.h"
#include "builds/PackageFinder.h"

#include <QDir>
#include <QFileDialog>
#include <QFuture>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPromise>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// The folder's problem, looked up on the thread pool.
QFuture<QString> folderProblemLater(const QString &folder)
{
    auto promise = std::make_shared<QPromise<QString>>();
    QFuture<QString> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, folder] {
        promise->addResult(PackageFinder::folderProblem(folder));
        promise->finish();
    });
    return future;
}

} // namespace

BuildFoldersEditor::BuildFoldersEditor(QWidget *parent)
    : QWidget(parent)
    , m_list(new QListWidget(this))
    , m_addButton(new QPushButton(u"添加…"_s, this))
    , m_removeButton(new QPushButton(u"移除"_s, this))
{
    setObjectName(u"buildFoldersEditor"_s);
    m_list->setObjectName(u"buildFoldersList"_s);
    m_addButton->setObjectName(u"addBuildFolderButton"_s);
    m_removeButton->setObjectName(u"removeBuildFolderButton"_s);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setMinimumHeight(96);
    m_removeButton->setEnabled(false);
    connect(m_list, &QListWidget::itemSelectionChanged, this,
        [this] { m_removeButton->setEnabled(!m_list->selectedItems().isEmpty()); });
    connect(m_addButton, &QPushButton::clicked, this, &BuildFoldersEditor::addButtonClicked);
    connect(m_removeButton, &QPushButton::clicked, this, &BuildFoldersEditor::removeButtonClicked);

    auto *title = new QLabel(u"构建文件夹"_s, this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto *about = new QLabel(u"在这些文件夹中查找 .apk 和 .ipa（Gradle 项目、CI 的输出文件夹），"
                             "与 Xcode 归档一起列在最近的构建中，新的安装包会通知你。"_s,
        this);
    about->setWordWrap(true);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_removeButton);
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title);
    layout->addWidget(about);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);

    // A change made elsewhere in the program (or by this pane) shows here too.
    connect(&BuildFolders::notifier(), &BuildFolders::changed, this, &BuildFoldersEditor::reload);
}

void BuildFoldersEditor::reload()
{
    m_folders = BuildFolders::folders();
    showFolders();
    for (const QString &folder : std::as_const(m_folders))
        check(folder);
}

void BuildFoldersEditor::check(const QString &folder)
{
    ++m_pending[folder];
    // The continuation is dropped if the pane goes first.
    folderProblemLater(folder).then(this, [this, folder](const QString &problem) { checked(folder, problem); });
}

void BuildFoldersEditor::checked(const QString &folder, const QString &problem)
{
    if (--m_pending[folder] <= 0)
        m_pending.remove(folder);
    m_problems.insert(folder, problem);
    showFolders();
    emit folderChecked(folder);
}

void BuildFoldersEditor::showFolders()
{
    const QString selected = m_list->currentItem() ? m_list->currentItem()->data(Qt::UserRole).toString() : QString();
    m_list->clear();
    for (const QString &folder : std::as_const(m_folders)) {
        auto *item = new QListWidgetItem(m_list);
        item->setData(Qt::UserRole, folder);
        const QString problem = m_problems.value(folder);
        if (problem.isEmpty()) {
            item->setText(QDir::toNativeSeparators(folder));
        } else {
            item->setText(QDir::toNativeSeparators(folder) + u"\n    "_s + problem);
            item->setForeground(QColor(0xC0, 0x30, 0x20));
        }
        item->setToolTip(item->text());
        if (folder == selected)
            m_list->setCurrentItem(item);
    }
    m_removeButton->setEnabled(!m_list->selectedItems().isEmpty());
}

void BuildFoldersEditor::addButtonClicked()
{
    if (m_dialog) {
        m_dialog->raise();
        return;
    }
    m_dialog = new QFileDialog(this, u"选择构建文件夹"_s, QDir::homePath());
    m_dialog->setObjectName(u"buildFolderDialog"_s);
    m_dialog->setFileMode(QFileDialog::Directory);
    m_dialog->setOption(QFileDialog::ShowDirsOnly);
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_dialog, &QFileDialog::fileSelected, this, &BuildFoldersEditor::addFolder);
    m_dialog->open();
}

void BuildFoldersEditor::addFolder(const QString &folder)
{
    if (!folder.isEmpty())
        BuildFolders::add(folder); // the store's change reloads the list
}

void BuildFoldersEditor::removeButtonClicked()
{
    const QListWidgetItem *item = m_list->currentItem();
    if (item && !m_list->selectedItems().isEmpty())
        BuildFolders::remove(item->data(Qt::UserRole).toString());
}
