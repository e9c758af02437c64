#include "upload/QDDragDropView.h"

#include "upload/Logging.h"

#include <QDragEnterEvent>
#include <QMetaObject>
#include <QMimeData>
#include <QPainter>
#include <QUrl>

using namespace Qt::StringLiterals;

QDDragDropView::QDDragDropView(QWidget *parent)
    : QLabel(parent)
{
    qCDebug(lcUpload) << "initializing view";
    setObjectName(u"dragDropView"_s);
    setAcceptDrops(true); // file names, and colours (which carry none and lead to nothing)
    setAlignment(Qt::AlignCenter);
}

bool QDDragDropView::isPackageName(const QString &name)
{
    return name.endsWith(u".ipa"_s) || name.endsWith(u".apk"_s);
}

QString QDDragDropView::firstFileName(const QMimeData *data)
{
    if (!data || !data->hasUrls())
        return {};
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return {};
}

Qt::DropAction QDDragDropView::operationFor(bool hasFileNames, Qt::DropActions allowed)
{
    if (!hasFileNames)
        return Qt::IgnoreAction;
    if (allowed & Qt::LinkAction)
        return Qt::LinkAction;
    if (allowed & Qt::CopyAction)
        return Qt::CopyAction;
    return Qt::IgnoreAction;
}

void QDDragDropView::dragEnterEvent(QDragEnterEvent *event)
{
    const QString first = firstFileName(event->mimeData());
    if (isPackageName(first)) {
        m_highlighted = true;
        update();
    }
    const Qt::DropAction operation = operationFor(!first.isEmpty(), event->possibleActions());
    if (operation == Qt::IgnoreAction) {
        event->ignore();
        return;
    }
    event->setDropAction(operation);
    event->accept();
}

void QDDragDropView::dragMoveEvent(QDragMoveEvent *event)
{
    const Qt::DropAction operation
        = operationFor(!firstFileName(event->mimeData()).isEmpty(), event->possibleActions());
    if (operation == Qt::IgnoreAction) {
        event->ignore();
        return;
    }
    event->setDropAction(operation);
    event->accept();
}

void QDDragDropView::dragLeaveEvent(QDragLeaveEvent *event)
{
    m_highlighted = false;
    update();
    QLabel::dragLeaveEvent(event);
}

void QDDragDropView::dropEvent(QDropEvent *event)
{
    // performDragOperation: keep the first file name; the drop is always taken.
    const QString first = firstFileName(event->mimeData());
    if (!first.isEmpty())
        m_filePath = first;
    const Qt::DropAction operation = operationFor(!first.isEmpty(), event->possibleActions());
    if (operation != Qt::IgnoreAction)
        event->setDropAction(operation);
    event->accept();
    concludeDragOperation();
}

void QDDragDropView::concludeDragOperation()
{
    qCDebug(lcUpload) << "concludeDragOperation:";
    m_highlighted = false;
    const char *operation = nullptr;
    if (m_filePath.endsWith(u".ipa"_s))
        operation = "ParseIPA";
    else if (m_filePath.endsWith(u".apk"_s))
        operation = "ParseAPK";
    else
        return; // accepted, and nothing follows
    update();
    QObject *target = m_delegate.data();
    if (!target)
        return;
    const QByteArray signature = QByteArray(operation) + "(QString)";
    if (target->metaObject()->indexOfMethod(signature.constData()) < 0)
        return;
    QMetaObject::invokeMethod(target, operation, Qt::DirectConnection, Q_ARG(QString, m_filePath));
}

void QDDragDropView::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (!m_highlighted)
        return;
    QPainter painter(this);
    QPen pen(palette().color(QPalette::Highlight), 5.0);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // The whole line inside the redrawn area.
    painter.drawRect(QRectF(event->rect()).adjusted(2.5, 2.5, -2.5, -2.5));
}
