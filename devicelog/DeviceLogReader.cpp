#include "devicelog/DeviceLogReader.h"

#include "app/ChildProcess.h"
#include "devicelog/DeviceLogText.h"
#include "devicelog/Logging.h"

#include <QCoreApplication>
#include <QMutex>
#include <QPointer>
#include <QProcess>
#include <QThread>

#include <optional>

using namespace Qt::StringLiterals;

struct DeviceLogReader::Shared
{
    QMutex mutex;
    DeviceLogReader *receiver = nullptr; // null once stopped: the worker reaches nobody
    QStringList pending;
    bool deliveryPosted = false;
    std::optional<std::pair<Outcome, int>> end;
};

namespace {

DeviceLogReader::Outcome outcomeOf(QProcess::ExitStatus status, int exitCode)
{
    if (status == QProcess::CrashExit)
        return DeviceLogReader::Outcome::Crashed;
    if (exitCode == DeviceLogReader::kExitToolNotInstalled)
        return DeviceLogReader::Outcome::ToolNotInstalled;
    if (exitCode == DeviceLogReader::kExitNoDevice)
        return DeviceLogReader::Outcome::NoDevice;
    return DeviceLogReader::Outcome::Ended;
}

// Worker threads whose tool is being ended; a program on its way out waits for them.
QList<QPointer<QThread>> &endingThreads()
{
    static QList<QPointer<QThread>> threads;
    return threads;
}

void waitForEndingThreads()
{
    ChildProcess::killEnding();
    for (const QPointer<QThread> &thread : std::as_const(endingThreads())) {
        if (thread && thread->wait(5000))
            delete thread.data(); // its deleteLater() would need the event loop, which has gone
    }
    endingThreads().clear();
}

} // namespace

DeviceLogReader::DeviceLogReader(QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
{ }

DeviceLogReader::~DeviceLogReader()
{
    stop();
}

void DeviceLogReader::start(const QString &program)
{
    if (m_thread)
        return;
    m_shared = std::make_shared<Shared>();
    m_shared->receiver = this;
    m_thread = new QThread;
    m_thread->setObjectName(u"deviceconsole reader"_s);
    m_worker = new QObject;
    m_worker->moveToThread(m_thread);
    m_thread->start();

    // Runs in the worker thread from here on. The receiver is reached under the lock, which stop()
    // takes to let go of it, so a reader that is gone is never reached.
    const std::shared_ptr<Shared> shared = m_shared;
    auto post = [shared](QStringList entries, std::optional<std::pair<Outcome, int>> end) {
        QMutexLocker lock(&shared->mutex);
        if (!shared->receiver)
            return;
        shared->pending.append(std::move(entries));
        if (end)
            shared->end = end;
        if (!std::exchange(shared->deliveryPosted, true))
            QMetaObject::invokeMethod(shared->receiver, &DeviceLogReader::deliver, Qt::QueuedConnection);
    };

    QObject *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, program, post] {
        auto *process = new QProcess(worker);
        process->setProgram(program);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardInputFile(QProcess::nullDevice());
        ChildProcess::runInOwnGroup(*process);
        auto carry = std::make_shared<QByteArray>();
        QObject::connect(process, &QProcess::readyReadStandardOutput, process, [process, post, carry] {
            // Everything the pipe held at this moment is one chunk.
            const QByteArray chunk = process->readAllStandardOutput();
            QStringList entries = DeviceLogText::entriesFromChunk(chunk, carry.get());
            if (!entries.isEmpty())
                post(std::move(entries), std::nullopt);
        });
        QObject::connect(process, &QProcess::finished, process, [post](int exitCode, QProcess::ExitStatus status) {
            qCDebug(lcDeviceLog) << "deviceconsole ended" << exitCode << status;
            post({}, std::make_pair(outcomeOf(status, exitCode), exitCode));
        });
        QObject::connect(process, &QProcess::errorOccurred, process, [process, post](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            qCWarning(lcDeviceLog) << "deviceconsole cannot be started:" << process->program()
                                   << process->errorString();
            post({}, std::make_pair(Outcome::FailedToStart, -1));
        });
        process->start();
    });
}

void DeviceLogReader::stop()
{
    if (!m_thread)
        return;
    {
        QMutexLocker lock(&m_shared->mutex);
        m_shared->receiver = nullptr;
        m_shared->pending.clear();
        m_shared->end.reset();
    }
    // The tool is ended in its own thread, without waiting for it here; the thread and the worker
    // go once it has ended.
    QThread *thread = std::exchange(m_thread, nullptr);
    QObject *worker = std::exchange(m_worker, nullptr);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    static const bool exitRoutineAdded = [] {
        qAddPostRoutine(waitForEndingThreads);
        return true;
    }();
    Q_UNUSED(exitRoutineAdded)
    endingThreads().removeAll(nullptr);
    endingThreads().append(thread);
    QMetaObject::invokeMethod(worker, [worker, thread] {
        const QList<QProcess *> processes = worker->findChildren<QProcess *>();
        auto left = std::make_shared<qsizetype>(processes.size());
        if (processes.isEmpty())
            thread->quit();
        for (QProcess *process : processes) {
            QObject::disconnect(process, nullptr, nullptr, nullptr);
            ChildProcess::end(process, ChildProcess::kDefaultGrace, [left, thread] {
                if (--*left == 0)
                    thread->quit();
            });
        }
    });
}

void DeviceLogReader::deliver()
{
    QStringList batch;
    std::optional<std::pair<Outcome, int>> end;
    bool more = false;
    {
        QMutexLocker lock(&m_shared->mutex);
        if (m_shared->pending.size() <= kMaxBatch) {
            batch.swap(m_shared->pending);
        } else {
            batch = m_shared->pending.first(kMaxBatch);
            m_shared->pending.remove(0, kMaxBatch);
        }
        more = !m_shared->pending.isEmpty();
        m_shared->deliveryPosted = more;
        if (!more) {
            end = m_shared->end;
            m_shared->end.reset();
        }
    }
    if (more)
        QMetaObject::invokeMethod(this, &DeviceLogReader::deliver, Qt::QueuedConnection);
    if (!batch.isEmpty())
        Q_EMIT entriesArrived(batch);
    if (end)
        Q_EMIT finished(end->first, end->second);
}
