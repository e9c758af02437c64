#pragma once

#include <QString>

#include <functional>

class QWidget;

// A save panel shown as a sheet on a window. The completion receives the chosen path, or an
// empty string when the user cancelled. Test hook: setNextFileName() answers the next panel
// with that path (an empty string cancels) without showing it.
class SaveDialog final
{
public:
    static void sheet(QWidget *window, const QString &proposedName, const QString &suffix,
                      std::function<void(const QString &)> done);
    static void setNextFileName(const QString &path);
};
