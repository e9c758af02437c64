#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QStyleOptionButton>
#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QTest>

// What a user does with the mouse and the keyboard, for the account screens' tests.
namespace UserInput {

inline void click(QWidget *widget, QPoint at = {})
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, at.isNull() ? widget->rect().center() : at);
}

// Clicks a check box on its box: only the box and its title answer a click, not the whole widget.
inline void toggle(QCheckBox *box)
{
    QStyleOptionButton option;
    option.initFrom(box);
    click(box, box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box).center());
}

// Types into the focused field: Latin-1 characters key by key, anything else (Chinese) as an
// input method commits it.
inline void keyIn(QLineEdit *field, const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClicks(field, QString(c));
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QString(c));
            QCoreApplication::sendEvent(field, &commit);
        }
    }
}

// Clicks into the field (which gives it the focus) and types at its end.
inline void type(QLineEdit *field, const QString &text)
{
    click(field);
    field->end(false);
    keyIn(field, text);
}

// Empties the field as a user would: select all, then delete.
inline void erase(QLineEdit *field)
{
    click(field);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Backspace);
}

inline void replace(QLineEdit *field, const QString &text)
{
    erase(field);
    keyIn(field, text);
}

} // namespace UserInput
