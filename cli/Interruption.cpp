#include "cli/Interruption.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = { -1, -1 };
volatile sig_atomic_t g_pending = 0;

void onSignal(int signal)
{
    if (g_pending) {
        // Asked twice: the command did not stop in time.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    g_pending = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}

} // namespace

Interruption &Interruption::instance()
{
    static Interruption *interruption = new Interruption;
    return *interruption;
}

void Interruption::installSignalHandlers()
{
    if (m_notifier || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Interruption::readSignal);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void Interruption::readSignal()
{
    char buffer[16];
    while (::read(g_pipe[0], buffer, sizeof buffer) > 0) { }
    request();
}

void Interruption::request()
{
    m_requested = true;
    emit requested();
}
