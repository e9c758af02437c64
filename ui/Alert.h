#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;
class QWidget;

// Alerts of the desktop program. A sheet is attached to a window (window-modal) and reports the
// pressed button to its completion; a modal alert blocks the whole application until closed.
// Buttons are given first to last; the first is the default. With no buttons the alert has one
// default button, "确定". Every text is shown as plain text: much of it comes from the service's
// replies and from packages, and is never read as markup.
//
// A modal alert runs a nested event loop, and the code after it still uses the objects that
// opened it. So while one is open nothing may take those objects apart: whatever replaces or
// drops a window on behalf of an outside event (a notification's button, a status-menu entry)
// goes through whenNoModalOpen(), which holds it back until the last modal alert has closed and
// control is back in the event loop.
//
// Test hooks: setNextAnswer() queues the answer of the next alert, which is then recorded but not
// shown (a sheet's completion still runs asynchronously). In test mode a modal alert without a
// queued answer is answered with its first button, so a test never blocks; a sheet without a
// queued answer is shown for real (object name "alert", buttons "alertButton0", "alertButton1"...). history() lists the texts of every alert since the last clearHistory().
class Alert final
{
public:
    static void sheet(QWidget *window, const QString &text, const QStringList &buttons = {},
                      std::function<void(int)> done = {}, const QString &informativeText = {});
    // A sheet with an image beside its text (the download page's QR code, say).
    static void sheet(QWidget *window, const QString &text, const QStringList &buttons, std::function<void(int)> done,
                      const QString &informativeText, const QImage &image);
    static int modal(const QString &text, const QStringList &buttons = {}, const QString &informativeText = {});

    // True while a modal alert is open (its nested event loop runs).
    static bool isModalOpen();
    // Runs action at once when no modal alert is open; otherwise once the last one has closed and
    // the code after it has returned to the event loop (not at all if context is gone by then).
    static void whenNoModalOpen(QObject *context, std::function<void()> action);

    static void setTestMode(bool on);
    static void setNextAnswer(int buttonIndex);
    static QStringList history();
    static void clearHistory();
    // The image of the last alert that had one; a null image after clearHistory().
    static QImage lastImage();
};
