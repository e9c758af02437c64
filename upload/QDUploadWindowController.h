#pragma once

#include <QPointer>
#include <QWidget>

class QDUploadViewController;

// The upload window. It shows an upload controller's view as its content without owning it (the
// screen that opened the window holds both; either may be deleted first). When the window is
// about to close it posts "QD_ENABLE_BUILD_ITEM_NOTIFICATION" (once in its life) and tells its
// content, which cancels whatever the upload was doing.
class QDUploadWindowController final : public QWidget
{
    Q_OBJECT
public:
    explicit QDUploadWindowController(QWidget *parent = nullptr);
    ~QDUploadWindowController() override;

    void setContentViewController(QDUploadViewController *controller);
    QDUploadViewController *contentViewController() const { return m_content; }
    void showWindow();
    bool hasClosed() const { return m_closed; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void windowWillClose();

    QPointer<QDUploadViewController> m_content;
    bool m_closed = false;
};
