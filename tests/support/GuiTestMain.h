#pragma once

#include "tests/support/TestEnvironment.h"

#include <QApplication>

// Turns on the alert and browser test hooks (see ui/Alert.h, ui/Browser.h).
void enableGuiTestHooks();

#define QUILLO_GUI_TEST_MAIN(TestObject)                                                                               \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        TestEnvironment::setUp();                                                                                      \
        QApplication app(argc, argv);                                                                                  \
        enableGuiTestHooks();                                                                                          \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
