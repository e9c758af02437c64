#include "account/AccountMarks.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>

using namespace Qt::StringLiterals;

namespace {
constexpr int kSide = 16;
}

QPixmap AccountMarks::caution()
{
    return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(kSide, kSide);
}

QPixmap AccountMarks::check()
{
    return QIcon(u":/images/Check"_s).pixmap(kSide, kSide);
}

QPixmap AccountMarks::invalid()
{
    return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(kSide, kSide);
}
