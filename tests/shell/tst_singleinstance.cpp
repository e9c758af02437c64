#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "tests/shell/ShellFixture.h"
#include "tests/support/GuiTestMain.h"
#include "shell/SingleInstance.h"

#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QThread>

using namespace Qt::StringLiterals;

// One program per user: the second start brings the first one's window to the front and ends.
class SingleInstanceTest : public QObject
{
    Q_OBJECT

    int m_case = 0;
    // A private folder, as a runtime folder must be.
    QString folder()
    {
        const QString path = TestEnvironment::path(u"instance%1/x"_s.arg(++m_case)).chopped(2);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    // requestReopen() waits for the answer, which this thread's event loop gives: ask from another.
    static bool reopenFromAnotherThread(const QString &folder, bool *answered)
    {
        QThread *thread = QThread::create([folder, answered] {
            SingleInstance second(folder);
            *answered = second.requestReopen(5000);
        });
        thread->start();
        const bool done = QTest::qWaitFor([thread] { return thread->isFinished(); }, 8000);
        thread->wait();
        delete thread;
        return done;
    }

    static QString desktopProgram() { return TestEnvironment::binDir() + u"/quillo-desktop"_s; }

private slots:
    void initTestCase()
    {
        Preferences::setValue(u"isLaunched"_s, u"1"_s);
        QSLoginModel::setLogout();
    }

    void theSecondClaimAsksTheFirst()
    {
        const QString where = folder();
        SingleInstance first(where);
        QVERIFY(first.claim());
        QVERIFY(first.isListening());
        QSignalSpy reopened(&first, &SingleInstance::reopenRequested);

        SingleInstance second(where);
        QVERIFY(!second.claim()); // the first holds it
        bool answered = false;
        QVERIFY(reopenFromAnotherThread(where, &answered));
        QVERIFY(answered);
        QCOMPARE(reopened.count(), 1);
    }

    void whatADeadInstanceLeftIsTakenOver()
    {
        const QString where = folder();
        QProcess gone;
        gone.start(u"true"_s, {});
        QVERIFY(gone.waitForFinished());
        const qint64 deadPid = gone.processId() > 0 ? gone.processId() : 999999;
        SingleInstance probe(where);
        QFile lock(probe.lockPath());
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(deadPid) + "\nquillo-desktop\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        lock.close();
        QFile socket(probe.socketPath());
        QVERIFY(socket.open(QIODevice::WriteOnly)); // not a socket any more
        socket.close();

        SingleInstance instance(where);
        QVERIFY(instance.claim());
        QVERIFY(instance.isListening());
    }

    void nonsenseOnTheSocketIsDropped()
    {
        const QString where = folder();
        SingleInstance instance(where);
        QVERIFY(instance.claim());
        QSignalSpy reopened(&instance, &SingleInstance::reopenRequested);
        QLocalSocket peer;
        peer.connectToServer(instance.socketPath());
        QVERIFY(peer.waitForConnected(2000));
        peer.write(QByteArray(200, 'x') + "\n");
        QTRY_COMPARE(peer.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(reopened.count(), 0);
    }

    void aSecondStartOfTheProgramFocusesTheFirst()
    {
        // This process is the running program: its shell, its window closed, and the instance.
        SingleInstance instance;
        QVERIFY(instance.claim());
        ShellFixture shell;
        shell.start();
        connect(&instance, &SingleInstance::reopenRequested, shell.delegate.get(),
            [&shell] { shell.delegate->applicationShouldHandleReopen(shell.window->isVisible()); });
        shell.window->close();
        QVERIFY(!shell.window->isVisible());

        QProcess second;
        second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        second.start(desktopProgram(), {});
        QVERIFY2(second.waitForStarted(), qPrintable(second.errorString()));
        QVERIFY(QTest::qWaitFor([&second] { return second.state() == QProcess::NotRunning; }, 15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(shell.window->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(shell.window.get()));
        shell.stop();
    }

    void theProgramItselfKeepsToOneInstance()
    {
        // Both programs under a runtime folder of their own.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, folder());
        QProcess first;
        first.setProcessEnvironment(environment);
        first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        first.start(desktopProgram(), {});
        QVERIFY2(first.waitForStarted(), qPrintable(first.errorString()));
        const QString socket = environment.value(u"XDG_RUNTIME_DIR"_s) + u"/quillo-desktop.socket"_s;
        QVERIFY(QTest::qWaitFor([&socket] { return QFile::exists(socket); }, 15000));

        QProcess second;
        second.setProcessEnvironment(environment);
        second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        second.start(desktopProgram(), {});
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running); // the first one stays

        first.terminate();
        QVERIFY(first.waitForFinished(10000));
    }
};

QUILLO_GUI_TEST_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
