#pragma once

#include <QObject>
#include <QStringList>

#include <memory>

class QThread;

// Runs the device log tool and turns its standard output into entries off the main thread.
//
// The tool runs as a QProcess owned by a worker thread, so the pipe is read, and each chunk cut
// and rewritten (DeviceLogText::entriesFromChunk), without touching the main thread. Entries are
// handed to the reader's thread (the main thread) in arrival order, in batches: one delivery per
// event-loop turn carries everything cut since the last one, up to kMaxBatch entries, so a flood
// of output neither queues one event per entry nor blocks the loop for long.
//
// Stopping or destroying the reader ends the tool and what it started (SIGTERM to its process
// group, SIGKILL after ChildProcess::kDefaultGrace) without waiting for it: the worker thread goes
// once the tool has ended.
class DeviceLogReader final : public QObject
{
    Q_OBJECT
public:
    // Exit codes of the deviceconsole launcher (resources/deviceconsole) that mean more than
    // "the tool ended".
    static constexpr int kExitToolNotInstalled = 127;
    static constexpr int kExitNoDevice = 69;
    static constexpr qsizetype kMaxBatch = 20000;

    enum class Outcome {
        FailedToStart, // the tool is missing or cannot be run
        ToolNotInstalled, // the launcher could not find the program that reads the device
        NoDevice, // no device is connected
        Ended, // the tool ended its output (exit code given)
        Crashed, // the tool was killed by a signal
    };

    explicit DeviceLogReader(QObject *parent = nullptr);
    ~DeviceLogReader() override;

    // Starts the tool once, without arguments, with standard input closed; its standard error
    // goes to the program's own.
    void start(const QString &program);
    // Ends the tool and the worker without waiting for them; nothing is delivered afterwards.
    void stop();
    bool isStarted() const { return m_thread != nullptr; }

Q_SIGNALS:
    void entriesArrived(const QStringList &entries);
    // After the last entries of the tool have been delivered.
    void finished(DeviceLogReader::Outcome outcome, int exitCode);

private:
    struct Shared;
    void deliver();

    std::shared_ptr<Shared> m_shared;
    QThread *m_thread = nullptr;
    QObject *m_worker = nullptr;
};
