#pragma once

#include <QString>
#include <QStringList>

// Opens addresses in the user's default web browser. In test mode the address is only recorded.
class Browser final
{
public:
    static void open(const QString &url);
    static void setTestMode(bool on);
    static QStringList openedUrls();
    static void clearHistory();
};
