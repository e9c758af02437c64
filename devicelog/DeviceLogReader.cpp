#include "devicelog/DeviceLogReader.h"

#include "devicelog/DeviceLogText.h"
#include "devicelog/Logging.h"

#include <QMutex>
#include <QProcess>
#include <QThread>

#include <optional>

using namespace Qt::StringLiterals;

struct DeviceLogReader::Shared
{
    QMutex mutex;
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
    m_thread = new QThread;
    m_thread->setObjectName(u"deviceconsole reader"_s);
    m_worker = new QObject;
    m_worker->moveToThread(m_thread);
    m_thread->start();

    // Runs in the worker thread from here on; `this` outlives it, since stop() joins the worker
    // before the reader goes away.
    const std::shared_ptr<Shared> shared = m_shared;
    auto post = [this, shared](QStringList entries, std::optional<std::pair<Outcome, int>> end) {
        bool postNow = false;
        {
            QMutexLocker lock(&shared->mutex);
            shared->pending.append(std::move(entries));
            if (end)
                shared->end = end;
            if (!shared->deliveryPosted)
                postNow = shared->deliveryPosted = true;
        }
        if (postNow)
            QMetaObject::invokeMethod(this, &DeviceLogReader::deliver, Qt::QueuedConnection);
    };

    QObject *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, program, post] {
        auto *process = new QProcess(worker);
        process->setProgram(program);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardInputFile(QProcess::nullDevice());
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
    QObject *worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker] {
            const QList<QProcess *> processes = worker->findChildren<QProcess *>();
            for (QProcess *process : processes) {
                QObject::disconnect(process, nullptr, nullptr, nullptr);
                if (process->state() != QProcess::NotRunning) {
                    process->terminate();
                    if (!process->waitForFinished(1000)) {
                        process->kill();
                        process->waitForFinished(1000);
                    }
                }
                delete process;
            }
        },
        Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_worker;
    m_worker = nullptr;
    delete m_thread;
    m_thread = nullptr;
    QMutexLocker lock(&m_shared->mutex);
    m_shared->pending.clear();
    m_shared->end.reset();
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
