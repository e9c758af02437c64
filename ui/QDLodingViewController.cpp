#include "ui/QDLodingViewController.h"

#include "ui/BusyIndicator.h"

#include <QLabel>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

QDLodingViewController::QDLodingViewController(QWidget *parent)
    : QWidget(parent)
    , m_loadingIndicator(new BusyIndicator(this))
    , m_loadingText(new QLabel(this))
{
    setObjectName(u"loadingView"_s);
    m_loadingIndicator->setObjectName(u"loadingIndicator"_s);
    m_loadingIndicator->setFixedSize(40, 40);
    m_loadingText->setObjectName(u"loadingText"_s);
    m_loadingText->setAlignment(Qt::AlignCenter);
    m_loadingText->setText(u"正在加载..."_s);

    auto *layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(m_loadingIndicator, 0, Qt::AlignHCenter);
    layout->addWidget(m_loadingText);
    layout->addStretch();
    m_loadingIndicator->startAnimation();
}
