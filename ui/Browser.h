#pragma once

#include <QString>
#include <QStringList>

// Opens addresses in the user's default web browser, only those that OpenableUrl allows: any other
// address (a file:, a custom scheme, http elsewhere, as a reply may carry) is refused with an
// alert saying so. In test mode an allowed address is only recorded. True when it was opened.
class Browser final
{
public:
    static bool open(const QString &url);
    static void setTestMode(bool on);
    static QStringList openedUrls();
    static void clearHistory();
};
