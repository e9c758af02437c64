#include "ui/Alert.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QQueue>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

struct AlertState
{
    bool testMode = false;
    QQueue<int> answers;
    QStringList history;
    QImage lastImage;
    int modalDepth = 0;
    QList<std::pair<QPointer<QObject>, std::function<void()>>> heldBack;
};

AlertState &state()
{
    static AlertState s;
    return s;
}

// Returns the queued answer, or -1 when the alert must really be shown. A blocking alert in
// test mode is answered with its first button instead.
int takeAnswer(const QString &text, bool blocking)
{
    AlertState &s = state();
    s.history.append(text);
    if (!s.answers.isEmpty())
        return s.answers.dequeue();
    return s.testMode && blocking ? 0 : -1;
}

// What was held back while modal alerts were open runs from the event loop, after the code that
// followed the last alert has returned; an alert opened meanwhile holds it back again.
void releaseHeldBack()
{
    const auto held = std::exchange(state().heldBack, {});
    for (const auto &[context, action] : held) {
        if (!context)
            continue;
        QMetaObject::invokeMethod(
            context.data(), [context = context.data(), action = action] { Alert::whenNoModalOpen(context, action); },
            Qt::QueuedConnection);
    }
}

// Outside text never becomes markup, in the text or in the informative text.
void showAsPlainText(QMessageBox *box)
{
    box->setTextFormat(Qt::PlainText);
    for (QLabel *label : box->findChildren<QLabel *>()) {
        if (label->textFormat() != Qt::PlainText) {
            label->setTextFormat(Qt::PlainText);
            label->setOpenExternalLinks(false);
        }
    }
}

QMessageBox *makeBox(QWidget *parent, const QString &text, const QStringList &buttons, const QString &informativeText,
                     QList<QAbstractButton *> &made, const QImage &image = QImage())
{
    auto *box = new QMessageBox(parent);
    box->setObjectName(u"alert"_s);
    box->setIcon(QMessageBox::NoIcon);
    box->setWindowTitle(u"Quillo"_s);
    box->setText(text);
    if (!image.isNull())
        box->setIconPixmap(QPixmap::fromImage(image));
    if (!informativeText.isEmpty())
        box->setInformativeText(informativeText);
    showAsPlainText(box);
    const QStringList titles = buttons.isEmpty() ? QStringList{u"确定"_s} : buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        QPushButton *button = box->addButton(titles.at(i), role);
        button->setObjectName(u"alertButton%1"_s.arg(i));
        made.append(button);
        if (i == 0)
            box->setDefaultButton(button);
    }
    return box;
}

} // namespace

void Alert::sheet(QWidget *window, const QString &text, const QStringList &buttons, std::function<void(int)> done,
                  const QString &informativeText)
{
    sheet(window, text, buttons, std::move(done), informativeText, QImage());
}

void Alert::sheet(QWidget *window, const QString &text, const QStringList &buttons, std::function<void(int)> done,
                  const QString &informativeText, const QImage &image)
{
    if (!image.isNull())
        state().lastImage = image;
    const int answer = takeAnswer(text, false);
    if (answer >= 0) {
        // Keep the sheet's asynchronous nature: the completion runs after the caller returns.
        QPointer<QWidget> guard(window);
        QTimer::singleShot(0, qApp, [guard, done = std::move(done), answer, hadWindow = window != nullptr] {
            if (done && (guard || !hadWindow))
                done(answer);
        });
        return;
    }
    QList<QAbstractButton *> made;
    QMessageBox *box = makeBox(window, text, buttons, informativeText, made, image);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(box, &QMessageBox::finished, box, [box, made, done = std::move(done)](int) {
        const int index = static_cast<int>(made.indexOf(box->clickedButton()));
        if (done)
            done(index < 0 ? static_cast<int>(made.size()) - 1 : index);
    });
    box->open();
}

int Alert::modal(const QString &text, const QStringList &buttons, const QString &informativeText)
{
    const int answer = takeAnswer(text, true);
    if (answer >= 0)
        return answer;
    QList<QAbstractButton *> made;
    QMessageBox *box = makeBox(nullptr, text, buttons, informativeText, made);
    box->setWindowModality(Qt::ApplicationModal);
    ++state().modalDepth;
    box->exec();
    if (--state().modalDepth == 0)
        releaseHeldBack();
    const int index = static_cast<int>(made.indexOf(box->clickedButton()));
    delete box;
    return index < 0 ? static_cast<int>(made.size()) - 1 : index;
}

bool Alert::isModalOpen()
{
    return state().modalDepth > 0;
}

void Alert::whenNoModalOpen(QObject *context, std::function<void()> action)
{
    if (!action)
        return;
    if (state().modalDepth == 0) {
        action();
        return;
    }
    state().heldBack.append({ QPointer<QObject>(context), std::move(action) });
}

void Alert::setTestMode(bool on)
{
    state().testMode = on;
}

void Alert::setNextAnswer(int buttonIndex)
{
    state().answers.enqueue(buttonIndex);
}

QStringList Alert::history()
{
    return state().history;
}

void Alert::clearHistory()
{
    state().history.clear();
    state().answers.clear();
    state().lastImage = QImage();
}

QImage Alert::lastImage()
{
    return state().lastImage;
}
