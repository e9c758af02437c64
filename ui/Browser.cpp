#include "ui/Browser.h"

#include "app/Logging.h"

#include <QDesktopServices>
#include <QUrl>

namespace {
struct BrowserState
{
    bool testMode = false;
    QStringList opened;
};
BrowserState &state()
{
    static BrowserState s;
    return s;
}
} // namespace

void Browser::open(const QString &url)
{
    state().opened.append(url);
    if (state().testMode)
        return;
    if (!QDesktopServices::openUrl(QUrl(url)))
        qCWarning(lcApp) << "Could not open" << url;
}

void Browser::setTestMode(bool on)
{
    state().testMode = on;
}

QStringList Browser::openedUrls()
{
    return state().opened;
}

void Browser::clearHistory()
{
    state().opened.clear();
}
