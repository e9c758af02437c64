#pragma once

#include "server/Store.h"

#include <QByteArray>
#include <QString>

// The service's HTML pages: plain documents that work without scripts.
namespace Pages {

QString escape(const QString &text);
// The QR code of text as an inline SVG element (black modules on white, with the quiet zone).
QString qrSvg(const QString &text);
// "%.2fMB" of bytes ÷ 1024 ÷ 1024.
QString formatSize(qint64 bytes);
// Local date and time, "yyyy年MM月dd日 HH:mm".
QString formatDate(qint64 secondsSinceEpoch);

struct DownloadView
{
    enum class Password { None, Ask, Wrong, Granted };
    Store::App app;
    Store::Release latest;
    QList<Store::Release> history; // newest first, the latest included
    QString basePath; // "/<suffix>", or "/<suffix>/<invitation key>": icon, form and download below it
    QString pageUrl;               // the page's own address, for the QR code
    QString downloadHref;          // empty while the password is still asked for
    Password password = Password::None;
};

QByteArray downloadPage(const DownloadView &view);
QByteArray homePage();
QByteArray helpPage(const QString &serviceUrl); // "http://host:port"
QByteArray termsPage();
// A short page with a title, a message and a link back to the start page.
QByteArray messagePage(const QString &title, const QString &message);
// What the plain address of a release for invited testers shows: nothing of the release.
QByteArray invitedOnlyPage();
// The form that sets a new password with a ticket from the recovery mail; message above it.
QByteArray resetPasswordPage(const QString &ticket, const QString &message);

} // namespace Pages
