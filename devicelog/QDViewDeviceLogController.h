#pragma once

#include "devicelog/DeviceLogReader.h"

#include <QMainWindow>

class DeviceLogModel;
class DeviceLogTableView;
class QDDeviceLogCellView;
class QLabel;
class QLineEdit;
class QTimer;

// The device log window: runs the device log tool ("deviceconsole" in the resource folder,
// without arguments) from construction on, shows its entries as they arrive, and lets the user
// filter, copy, empty and save them.
//
// For the shell: construct one per "view device log" command (replacing and so deleting the
// previous one), show() it, and route the Find command to focusSearchField(). When the window is
// about to close it posts Notifications::CloseDeviceLogWindow. Deleting the controller ends the
// tool; closing the window does not (the log keeps filling until the controller goes away).
class QDViewDeviceLogController final : public QMainWindow
{
    Q_OBJECT
public:
    explicit QDViewDeviceLogController(QWidget *parent = nullptr);
    ~QDViewDeviceLogController() override;

    // The Find command: while the window is visible, moves the keyboard focus into the search
    // field and answers true; otherwise does nothing and answers false.
    bool focusSearchField();

    // Applies the text of the search field as the search, or clears the search when it is empty.
    void searchLogWithKeyWord();
    // Puts the shown entries of the selected rows, in ascending row order, on the clipboard.
    void copy();
    // Empties the log; the search stays.
    void cleanLog();
    // Offers to save the shown entries, as they are now, to "DeviceLog.txt".
    void saveLogFile();

    DeviceLogModel *logModel() const { return m_model; }
    DeviceLogTableView *logTable() const { return m_logTable; }
    QLineEdit *logSearchField() const { return m_logSearchField; }
    // What the window says about the tool (missing, no device, ended); empty while it runs.
    QString statusText() const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildWindow();
    void readDeviceLog();
    void entriesArrived(const QStringList &entries);
    void toolFinished(DeviceLogReader::Outcome outcome, int exitCode);
    void showStatus(const QString &text);

    DeviceLogModel *m_model = nullptr;
    DeviceLogReader *m_reader = nullptr;
    DeviceLogTableView *m_logTable = nullptr;
    QDDeviceLogCellView *m_cellView = nullptr;
    QAction *m_searchToolbarItem = nullptr;
    QLineEdit *m_logSearchField = nullptr;
    QLabel *m_statusLabel = nullptr;
    QTimer *m_searchDelay = nullptr;
};
