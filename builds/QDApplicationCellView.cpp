#include "builds/QDApplicationCellView.h"

#include "builds/ArchiveText.h"
#include "builds/BuildPackage.h"
#include "builds/PackageText.h"
#include "inspect/QDArchiveModel.h"

#include <QGridLayout>
#include <QLabel>

using namespace Qt::StringLiterals;

namespace {
constexpr int kIconSize = 40;
}

QDApplicationCellView::QDApplicationCellView(QWidget *parent)
    : QWidget(parent)
    , m_imageView(new QLabel(this))
    , m_textField(new QLabel(this))
    , m_identifierTextField(new QLabel(this))
    , m_createdDateTextField(new QLabel(this))
    , m_kindTextField(new QLabel(this))
{
    setObjectName(u"applicationCellView"_s);
    // The table beneath handles selection and double-clicks.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_imageView->setObjectName(u"imageView"_s);
    m_textField->setObjectName(u"textField"_s);
    m_identifierTextField->setObjectName(u"identifierTextField"_s);
    m_createdDateTextField->setObjectName(u"createdDateTextField"_s);

    m_imageView->setFixedSize(kIconSize, kIconSize);
    QFont titleFont = m_textField->font();
    titleFont.setBold(true);
    m_textField->setFont(titleFont);
    setHighlighted(false);
    m_createdDateTextField->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    for (QLabel *label : { m_textField, m_identifierTextField, m_createdDateTextField }) {
        label->setTextFormat(Qt::PlainText); // names and identifiers come from the archives
        label->setTextInteractionFlags(Qt::NoTextInteraction);
        // Inside a table a label would take the table's text role; these colours are set below.
        label->setForegroundRole(QPalette::WindowText);
    }

    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(10, 6, 12, 6);
    layout->setHorizontalSpacing(10);
    layout->setVerticalSpacing(2);
    layout->addWidget(m_imageView, 0, 0, 2, 1);
    layout->addWidget(m_textField, 0, 1);
    layout->addWidget(m_createdDateTextField, 0, 2);
    layout->addWidget(m_identifierTextField, 1, 1);
    layout->addWidget(m_kindTextField, 1, 2);
    layout->setColumnStretch(1, 1);

    m_kindTextField->setObjectName(u"kindTextField"_s);
    m_kindTextField->setTextFormat(Qt::PlainText);
    m_kindTextField->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_kindTextField->setForegroundRole(QPalette::WindowText);
    m_kindTextField->hide();
}

void QDApplicationCellView::showArchive(const QDArchiveModel &archive)
{
    m_imageView->setPixmap(ArchiveText::icon(archive, kIconSize));
    m_textField->setText(ArchiveText::title(archive));
    m_identifierTextField->setText(archive.identifier().value_or(QString()));
    m_createdDateTextField->setText(ArchiveText::date(archive));
}

void QDApplicationCellView::showPackage(const BuildPackage &package)
{
    m_imageView->setPixmap(PackageText::icon(package, kIconSize));
    m_textField->setText(PackageText::title(package));
    m_identifierTextField->setText(package.packageName);
    m_createdDateTextField->setText(PackageText::date(package));
    m_kindTextField->setText(PackageText::kindMark(package));
    m_kindTextField->show();
}

void QDApplicationCellView::setHighlighted(bool highlighted)
{
    const QColor text
        = highlighted ? palette().color(QPalette::HighlightedText) : palette().color(QPalette::WindowText);
    const QColor detail = highlighted ? text : QColor(0x80, 0x80, 0x80);
    auto paint = [](QLabel *label, const QColor &colour) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, colour);
        label->setPalette(palette);
    };
    paint(m_textField, text);
    paint(m_identifierTextField, detail);
    paint(m_createdDateTextField, detail);
    paint(m_kindTextField, detail);
}
