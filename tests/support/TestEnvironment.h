#pragma once

#include <QCoreApplication>
#include <QString>
#include <QTest>

// Keeps every test away from the user's data: setUp() points HOME, the XDG folders, the
// preferences store and the work folder at a fresh temporary folder (removed at exit unless
// QUILLO_KEEP_TEST_DIR is set), the resource folder at the build tree's, and the service host at
// a closed loopback port until a test starts a service of its own.
namespace TestEnvironment {
void setUp();
// The temporary folder of this test process.
QString root();
QString sourceDir();
// The build folder (its fixture cache).
QString buildDir();
// Folder of the built programs (quillo, quillo-server, quillo-desktop).
QString binDir();
QString resourceDir();
// A path below the temporary folder; its parent folders are created.
QString path(const QString &relative);
} // namespace TestEnvironment

#define QUILLO_TEST_MAIN(TestObject)                                                                                   \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        TestEnvironment::setUp();                                                                                      \
        QCoreApplication app(argc, argv);                                                                              \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
