#pragma once

#include <QObject>

class QSocketNotifier;

// Ctrl-C (SIGINT) and SIGTERM as a signal on the main thread, so that a command can stop what it
// started (the upload, the build tool, the device log tool) and return instead of dying with
// child processes left behind. Tests call request() instead of sending a signal.
class Interruption final : public QObject
{
    Q_OBJECT
public:
    static Interruption &instance();

    // Routes SIGINT and SIGTERM here for the rest of the process (main() only). A second signal
    // while the first is being handled ends the process at once.
    void installSignalHandlers();

    bool isRequested() const { return m_requested; }
    void request();
    // Forgets an earlier request (before each command).
    void reset() { m_requested = false; }

Q_SIGNALS:
    void requested();

private:
    Interruption() = default;
    void readSignal();

    bool m_requested = false;
    QSocketNotifier *m_notifier = nullptr;
};
