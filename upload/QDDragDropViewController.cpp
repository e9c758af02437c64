#include "upload/QDDragDropViewController.h"

#include "upload/QDDragDropView.h"

#include <QPainter>
#include <QPalette>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

QDDragDropViewController::QDDragDropViewController(QObject *delegate, QWidget *parent)
    : QWidget(parent)
    , m_dragDropView(new QDDragDropView(this))
    , m_delegate(delegate)
{
    setObjectName(u"dragDropViewController"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addWidget(m_dragDropView);
    m_dragDropView->setPixmap(dropPicture(palette(), devicePixelRatioF()));
    m_dragDropView->setDelegate(m_delegate);
}

QPixmap QDDragDropViewController::dropPicture(const QPalette &palette, qreal devicePixelRatio)
{
    const QSize size(360, 220);
    QPixmap picture(size * devicePixelRatio);
    picture.setDevicePixelRatio(devicePixelRatio);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPen dashes(palette.color(QPalette::Mid), 2.0, Qt::DashLine);
    painter.setPen(dashes);
    painter.drawRoundedRect(QRectF(4, 4, size.width() - 8, size.height() - 8), 14, 14);
    const QPixmap image(u":/images/quillo"_s);
    if (!image.isNull())
        painter.drawPixmap(QRect((size.width() - 96) / 2, 28, 96, 96), image);
    painter.setPen(palette.color(QPalette::WindowText));
    QFont font = painter.font();
    font.setPointSizeF(font.pointSizeF() + 2);
    painter.setFont(font);
    painter.drawText(QRect(0, 136, size.width(), 28), Qt::AlignCenter, u"将 .ipa 或 .apk 安装包拖放到这里"_s);
    font.setPointSizeF(font.pointSizeF() - 3);
    painter.setFont(font);
    painter.setPen(palette.color(QPalette::PlaceholderText));
    painter.drawText(QRect(0, 166, size.width(), 24), Qt::AlignCenter, u"读取安装包信息后即可设置并发布"_s);
    return picture;
}
