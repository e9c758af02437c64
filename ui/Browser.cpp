#include "ui/Browser.h"

#include "app/Logging.h"
#include "app/OpenableUrl.h"
#include "ui/Alert.h"

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

bool Browser::open(const QString &url)
{
    const QString refusal = OpenableUrl::refusal(url);
    if (!refusal.isEmpty()) {
        Alert::sheet(nullptr, refusal);
        return false;
    }
    state().opened.append(url);
    if (state().testMode)
        return true;
    if (QDesktopServices::openUrl(QUrl(url)))
        return true;
    qCWarning(lcApp) << "Could not open" << url;
    return false;
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
