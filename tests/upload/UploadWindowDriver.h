#pragma once

#include "upload/QDDragDropView.h"
#include "upload/QDUploadViewController.h"
#include "upload/QDUploadWindowController.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>
#include <QUrl>

// What a user does with an upload window, for the upload tests: drags files from a file manager
// (QMimeData with file URLs), clicks and types.
namespace UploadWindowDriver {

inline QMimeData *fileDrag(const QStringList &paths)
{
    auto *data = new QMimeData;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    data->setUrls(urls);
    return data;
}

// Drags the files over the view; returns the operation the view answers (IgnoreAction when it
// refuses the drag).
inline Qt::DropAction dragEnter(QWidget *view, const QMimeData *data, Qt::DropActions allowed)
{
    QDragEnterEvent enter(view->rect().center(), allowed, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &enter);
    return enter.isAccepted() ? enter.dropAction() : Qt::IgnoreAction;
}

inline void dragLeave(QWidget *view)
{
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(view, &leave);
}

// Drags the files over the view and lets go; true when the view took the drop.
inline bool drop(QWidget *view, const QStringList &paths, Qt::DropActions allowed = Qt::CopyAction | Qt::LinkAction)
{
    const std::unique_ptr<QMimeData> data(fileDrag(paths));
    if (dragEnter(view, data.get(), allowed) == Qt::IgnoreAction)
        return false;
    QDragMoveEvent move(view->rect().center(), allowed, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &move);
    QDropEvent dropEvent(QPointF(view->rect().center()), allowed, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &dropEvent);
    return dropEvent.isAccepted();
}

inline void click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

// Types at the end of the field: ASCII key by key, anything else as an input method commits it.
inline void type(QWidget *field, const QString &text)
{
    click(field);
    for (const QChar c : text) {
        if (c == u'\n') {
            QTest::keyClick(field, Qt::Key_Return);
        } else if (c.unicode() < 0x80) {
            QTest::keyClicks(field, QString(c));
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QString(c));
            QCoreApplication::sendEvent(field, &commit);
        }
    }
}

// With QUILLO_UPLOAD_GRAB_DIR set, saves a picture of the window there (for looking at the states).
inline void grab(QWidget *window, const QString &name)
{
    const QString dir = qEnvironmentVariable("QUILLO_UPLOAD_GRAB_DIR");
    if (!dir.isEmpty())
        window->grab().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Replaces the field's text as a user would: select all, delete, type.
inline void replace(QLineEdit *field, const QString &text)
{
    click(field);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Backspace);
    type(field, text);
}

// The screen that opens upload windows, as the recent-builds screen does.
class Opener final : public QDUploadViewControllerDelegate
{
public:
    explicit Opener(const QString &beginView)
    {
        controller = std::make_unique<QDUploadViewController>(beginView);
        controller->setDelegate(this);
        window = std::make_unique<QDUploadWindowController>();
        window->setContentViewController(controller.get());
        window->showWindow();
    }
    void closeUpdateWindow() override
    {
        ++closeCalls;
        if (window)
            window->close();
    }
    QDDragDropView *dropTarget() const
    {
        return controller->findChild<QDDragDropView *>(QStringLiteral("dragDropView"));
    }

    std::unique_ptr<QDUploadViewController> controller;
    std::unique_ptr<QDUploadWindowController> window;
    int closeCalls = 0;
};

} // namespace UploadWindowDriver
