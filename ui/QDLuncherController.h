#pragma once

#include <functional>

// Switches the main window between its screens. Each operation builds a new screen and makes
// its view the whole content of the main window. The shell registers, at start-up, how each
// screen is built and installed; screens call these operations without knowing the shell.
class QDLuncherController final
{
public:
    enum class Screen { Welcome, Upload, Login };

    static void openWelcomeController();
    static void openUploadController();
    static void openLoginController();

    static void setScreenBuilder(Screen screen, std::function<void()> builder);
};
