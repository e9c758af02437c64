#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>

class QMimeData;

// The drop target: an image view that takes file drags. It lights up (a 5-point outline in the
// palette's highlight colour) while an ".ipa" or ".apk" (exact suffixes) is dragged over it, and
// hands a dropped package to its delegate's ParseIPA(QString) or ParseAPK(QString), each only
// when the delegate has that invokable. Only the first file of a drag counts; any file may be
// dropped, but other files lead to nothing.
class QDDragDropView final : public QLabel
{
    Q_OBJECT
public:
    explicit QDDragDropView(QWidget *parent = nullptr);

    bool highlighted() const { return m_highlighted; }
    // The first file of the last drop.
    QString filePath() const { return m_filePath; }
    QObject *delegate() const { return m_delegate; }
    void setDelegate(QObject *delegate) { m_delegate = delegate; }

    // The operation shown for a drag: none without local file names; otherwise link when the
    // source allows it, else copy when it allows that, else none.
    static Qt::DropAction operationFor(bool hasFileNames, Qt::DropActions allowed);
    // The first local file named by the drag, or an empty string.
    static QString firstFileName(const QMimeData *data);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    static bool isPackageName(const QString &name);
    void concludeDragOperation();

    bool m_highlighted = false;
    QString m_filePath;
    QPointer<QObject> m_delegate;
};
