#include "upload/QDUploadWindowController.h"

#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "upload/QDUploadViewController.h"

#include <QCloseEvent>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

QDUploadWindowController::QDUploadWindowController(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(u"uploadWindow"_s);
    setWindowTitle(u"Quillo"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

QDUploadWindowController::~QDUploadWindowController()
{
    if (isVisible() && !m_closed)
        windowWillClose();
    // The content belongs to whoever opened the window.
    if (m_content) {
        m_content->hide();
        m_content->setParent(nullptr);
    }
}

void QDUploadWindowController::setContentViewController(QDUploadViewController *controller)
{
    if (m_content == controller)
        return;
    if (m_content) {
        layout()->removeWidget(m_content);
        m_content->hide();
        m_content->setParent(nullptr);
    }
    m_content = controller;
    if (controller) {
        layout()->addWidget(controller);
        controller->show();
        setWindowTitle(controller->windowTitle());
    }
}

void QDUploadWindowController::showWindow()
{
    if (layout())
        setFixedSize(layout()->sizeHint().expandedTo(minimumSizeHint()));
    show();
    raise();
    activateWindow();
}

void QDUploadWindowController::closeEvent(QCloseEvent *event)
{
    if (!m_closed)
        windowWillClose();
    event->accept();
}

void QDUploadWindowController::windowWillClose()
{
    m_closed = true;
    NotificationCenter::defaultCenter().post(Notifications::EnableBuildItem);
    if (m_content)
        m_content->windowWillClose();
}
