#pragma once

#include "shell/AppDelegate.h"
#include "tests/support/TestEnvironment.h"

#include <QMainWindow>
#include <QTest>

#include <memory>

// The shell as the program builds it: a main window and its application delegate, started up.
struct ShellFixture
{
    std::unique_ptr<QMainWindow> window;
    std::unique_ptr<AppDelegate> delegate;

    void start()
    {
        window = std::make_unique<QMainWindow>();
        window->resize(640, 520);
        delegate = std::make_unique<AppDelegate>(window.get());
        delegate->applicationDidFinishLaunching();
        window->show();
    }
    // The delegate goes first: it takes its screens with it.
    void stop()
    {
        delegate.reset();
        window.reset();
    }
};
