#include "app/ChildProcess.h"

#include "app/Logging.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QTimer>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

// Tools handed to end() and not yet ended, by process id; end() may run in any thread.
struct Ending
{
    QMutex mutex;
    QSet<qint64> pids;
    bool exitRoutineAdded = false;
};

Ending &ending()
{
    static Ending e;
    return e;
}

// While the tool has not been reaped its id cannot be reused, so signalling it is safe.
void signalRunningTool(qint64 pid, int signal)
{
    if (pid <= 0)
        return;
    // A tool without a group of its own is reached alone.
    if (::kill(-pid_t(pid), signal) != 0)
        ::kill(pid_t(pid), signal);
}

void track(qint64 pid, bool add)
{
    Ending &e = ending();
    QMutexLocker lock(&e.mutex);
    if (!add) {
        e.pids.remove(pid);
        return;
    }
    e.pids.insert(pid);
    if (!e.exitRoutineAdded && QCoreApplication::instance()) {
        e.exitRoutineAdded = true;
        qAddPostRoutine(ChildProcess::killEnding);
    }
}

} // namespace

namespace ChildProcess {

void runInOwnGroup(QProcess &process)
{
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
}

void end(QProcess *process, std::chrono::milliseconds grace, std::function<void()> ended)
{
    process->setParent(nullptr); // whoever held it may go before the tool does
    auto done = std::make_shared<bool>(false);
    auto finish = [process, done, ended = std::move(ended)] {
        if (std::exchange(*done, true))
            return;
        if (ended)
            ended();
        process->deleteLater();
    };
    const qint64 pid = process->processId();
    if (process->state() == QProcess::NotRunning || pid <= 0) {
        finish();
        return;
    }
    track(pid, true);
    QObject::connect(process, &QProcess::finished, process, [pid, finish] {
        track(pid, false);
        // Whatever the tool started and left behind in its group goes with it.
        ::kill(-pid_t(pid), SIGKILL);
        finish();
    });
    // A tool that could not be started at all reports no end.
    QObject::connect(process, &QProcess::errorOccurred, process, [pid, finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            track(pid, false);
            finish();
        }
    });
    QTimer::singleShot(grace, process, [process, pid] {
        if (process->state() != QProcess::NotRunning) {
            qCInfo(lcApp) << "Child process" << pid << "did not end on SIGTERM; killing it";
            signalRunningTool(pid, SIGKILL);
        }
    });
    signalRunningTool(pid, SIGTERM);
}

void killEnding()
{
    Ending &e = ending();
    QMutexLocker lock(&e.mutex);
    for (const qint64 pid : std::as_const(e.pids))
        signalRunningTool(pid, SIGKILL);
}

bool waitForEnding(std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (endingCount() == 0 || deadline.hasExpired())
            loop.quit();
    });
    if (endingCount() > 0) {
        poll.start();
        loop.exec();
    }
    return endingCount() == 0;
}

int endingCount()
{
    Ending &e = ending();
    QMutexLocker lock(&e.mutex);
    return int(e.pids.size());
}

} // namespace ChildProcess
