#pragma once

#include <QPointer>
#include <QWidget>

class QDDragDropView;

// The drop-target screen, the bottom of the upload window's stack in drop mode. Its delegate
// (the upload controller, set before the screen is built) becomes the drop view's delegate.
class QDDragDropViewController final : public QWidget
{
    Q_OBJECT
public:
    explicit QDDragDropViewController(QObject *delegate, QWidget *parent = nullptr);

    QDDragDropView *dragDropView() const { return m_dragDropView; }
    QObject *delegate() const { return m_delegate; }

    // The picture the drop view shows: the program's image above a hint.
    static QPixmap dropPicture(const QPalette &palette, qreal devicePixelRatio);

private:
    QDDragDropView *m_dragDropView;
    QPointer<QObject> m_delegate;
};
