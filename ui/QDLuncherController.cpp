#include "ui/QDLuncherController.h"

#include "app/Logging.h"

#include <QHash>

namespace {

QHash<QDLuncherController::Screen, std::function<void()>> &builders()
{
    static QHash<QDLuncherController::Screen, std::function<void()>> table;
    return table;
}

void open(QDLuncherController::Screen screen)
{
    const auto builder = builders().value(screen);
    if (builder)
        builder();
    else
        qCWarning(lcApp) << "No screen builder registered for screen" << static_cast<int>(screen);
}

} // namespace

void QDLuncherController::openWelcomeController()
{
    open(Screen::Welcome);
}

void QDLuncherController::openUploadController()
{
    open(Screen::Upload);
}

void QDLuncherController::openLoginController()
{
    open(Screen::Login);
}

void QDLuncherController::setScreenBuilder(Screen screen, std::function<void()> builder)
{
    builders().insert(screen, std::move(builder));
}
