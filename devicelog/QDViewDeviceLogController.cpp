#include "devicelog/QDViewDeviceLogController.h"

#include "app/Config.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "devicelog/DeviceLogModel.h"
#include "devicelog/DeviceLogTableView.h"
#include "devicelog/Logging.h"
#include "devicelog/QDDeviceLogCellView.h"
#include "ui/SaveDialog.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QSaveFile>
#include <QSizePolicy>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {
// Typing pauses this long before the search runs; Return and clearing run it at once.
constexpr int kSearchDelayMs = 250;
} // namespace

QDViewDeviceLogController::QDViewDeviceLogController(QWidget *parent)
    : QMainWindow(parent)
    , m_model(new DeviceLogModel(this))
    , m_reader(new DeviceLogReader(this))
{
    setObjectName(u"QDViewDeviceLogController"_s);
    buildWindow();
    connect(m_reader, &DeviceLogReader::entriesArrived, this, &QDViewDeviceLogController::entriesArrived);
    connect(m_reader, &DeviceLogReader::finished, this, &QDViewDeviceLogController::toolFinished);
    readDeviceLog();
}

QDViewDeviceLogController::~QDViewDeviceLogController()
{
    m_reader->stop();
}

void QDViewDeviceLogController::buildWindow()
{
    setWindowTitle(u"设备日志"_s);
    resize(900, 600);

    auto *toolbar = new QToolBar(this);
    toolbar->setObjectName(u"deviceLogToolbar"_s);
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, toolbar);

    QAction *clean = toolbar->addAction(u"清空"_s, this, &QDViewDeviceLogController::cleanLog);
    clean->setObjectName(u"cleanLogButton"_s);
    QAction *save = toolbar->addAction(u"保存"_s, this, &QDViewDeviceLogController::saveLogFile);
    save->setObjectName(u"saveLogFileButton"_s);
    save->setShortcut(QKeySequence::Save);
    auto *spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);

    m_logSearchField = new QLineEdit(toolbar);
    m_logSearchField->setObjectName(u"logSearchField"_s);
    m_logSearchField->setPlaceholderText(u"搜索"_s);
    m_logSearchField->setClearButtonEnabled(true);
    m_logSearchField->setMinimumWidth(240);
    m_searchToolbarItem = toolbar->addWidget(m_logSearchField);
    m_searchToolbarItem->setObjectName(u"searchToolbarItem"_s);

    m_searchDelay = new QTimer(this);
    m_searchDelay->setSingleShot(true);
    m_searchDelay->setInterval(kSearchDelayMs);
    connect(m_searchDelay, &QTimer::timeout, this, &QDViewDeviceLogController::searchLogWithKeyWord);
    connect(m_logSearchField, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (text.isEmpty()) {
            m_searchDelay->stop();
            searchLogWithKeyWord();
        } else {
            m_searchDelay->start();
        }
    });
    connect(m_logSearchField, &QLineEdit::returnPressed, this, [this] {
        m_searchDelay->stop();
        searchLogWithKeyWord();
    });

    auto *find = new QAction(u"查找"_s, this);
    find->setShortcut(QKeySequence::Find);
    connect(find, &QAction::triggered, this, &QDViewDeviceLogController::focusSearchField);
    addAction(find);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_statusLabel = new QLabel(central);
    m_statusLabel->setObjectName(u"deviceLogStatusLabel"_s);
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setContentsMargins(10, 8, 10, 8);
    m_statusLabel->hide();
    layout->addWidget(m_statusLabel);

    m_logTable = new DeviceLogTableView(central);
    m_logTable->setObjectName(u"logTable"_s);
    m_cellView = new QDDeviceLogCellView(m_logTable);
    m_logTable->setItemDelegate(m_cellView);
    m_logTable->setModel(m_model);
    m_logTable->setContextMenuPolicy(Qt::ActionsContextMenu);
    layout->addWidget(m_logTable);
    setCentralWidget(central);

    auto *copyAction = new QAction(u"复制"_s, m_logTable);
    copyAction->setObjectName(u"copyLogAction"_s);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction, &QAction::triggered, this, &QDViewDeviceLogController::copy);
    m_logTable->addAction(copyAction);
    m_logTable->addAction(clean);
    m_logTable->addAction(save);
    connect(m_logTable, &DeviceLogTableView::copyRequested, this, &QDViewDeviceLogController::copy);
}

void QDViewDeviceLogController::readDeviceLog()
{
    const QString program = Config::resourcePath(u"deviceconsole"_s);
    qCDebug(lcDeviceLog) << "starting" << program;
    m_reader->start(program);
}

void QDViewDeviceLogController::entriesArrived(const QStringList &entries)
{
    if (m_model->addEntries(entries) > 0)
        m_logTable->scrollToLastRow();
}

void QDViewDeviceLogController::toolFinished(DeviceLogReader::Outcome outcome, int exitCode)
{
    switch (outcome) {
    case DeviceLogReader::Outcome::FailedToStart:
        showStatus(u"找不到设备日志工具 deviceconsole，无法读取设备日志。"_s);
        break;
    case DeviceLogReader::Outcome::ToolNotInstalled:
        showStatus(u"未安装 idevicesyslog（软件包 libimobiledevice-utils），无法读取设备日志。"_s);
        break;
    case DeviceLogReader::Outcome::NoDevice:
        showStatus(u"未连接设备。请连接 iOS 设备后重新打开设备日志窗口。"_s);
        break;
    case DeviceLogReader::Outcome::Ended:
        showStatus(exitCode == 0 ? u"设备日志已结束。"_s : u"设备日志工具已退出（代码 %1）。"_s.arg(exitCode));
        break;
    case DeviceLogReader::Outcome::Crashed:
        showStatus(u"设备日志工具意外退出。"_s);
        break;
    }
}

void QDViewDeviceLogController::showStatus(const QString &text)
{
    m_statusLabel->setText(text);
    m_statusLabel->setVisible(!text.isEmpty());
}

QString QDViewDeviceLogController::statusText() const
{
    return m_statusLabel->isVisibleTo(this) ? m_statusLabel->text() : QString();
}

bool QDViewDeviceLogController::focusSearchField()
{
    if (!isVisible())
        return false;
    activateWindow();
    m_logSearchField->setFocus(Qt::ShortcutFocusReason);
    m_logSearchField->selectAll();
    return true;
}

void QDViewDeviceLogController::searchLogWithKeyWord()
{
    m_searchDelay->stop();
    m_model->searchLogWithKeyWord(m_logSearchField->text());
    m_cellView->setSearchString(m_model->searchString());
    m_logTable->viewport()->update();
}

void QDViewDeviceLogController::copy()
{
    QList<int> rows;
    const QModelIndexList selected = m_logTable->selectionModel()->selectedRows();
    for (const QModelIndex &index : selected)
        rows.append(index.row());
    const QString text = m_model->joinedRows(rows);
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

void QDViewDeviceLogController::cleanLog()
{
    m_model->cleanLog();
}

void QDViewDeviceLogController::saveLogFile()
{
    const QString text = m_model->joinedShownList();
    SaveDialog::sheet(this, u"DeviceLog.txt"_s, u"txt"_s, [text](const QString &path) {
        if (path.isEmpty())
            return;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
            qCWarning(lcDeviceLog) << "cannot save the device log to" << path << file.errorString();
    });
}

void QDViewDeviceLogController::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        NotificationCenter::defaultCenter().post(Notifications::CloseDeviceLogWindow);
}
