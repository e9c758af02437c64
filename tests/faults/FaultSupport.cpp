#include "tests/faults/FaultSupport.h"

#include <QProcessEnvironment>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

ResettingPeer::ResettingPeer(qint64 cutAfter, QByteArray reply)
    : m_cutAfter(cutAfter)
    , m_reply(std::move(reply))
{
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listen, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(m_listen, 16) != 0)
        qFatal("ResettingPeer: cannot listen on 127.0.0.1");
    socklen_t length = sizeof address;
    ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &length);
    m_port = ntohs(address.sin_port);
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        qFatal("ResettingPeer: no pipe");
    m_thread = std::thread([this] { serve(); });
}

ResettingPeer::~ResettingPeer()
{
    const char byte = 0;
    [[maybe_unused]] const auto n = ::write(m_wake[1], &byte, 1);
    m_thread.join();
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

QString ResettingPeer::hostPort() const
{
    return u"127.0.0.1:%1"_s.arg(m_port);
}

void ResettingPeer::serve()
{
    for (;;) {
        pollfd fds[2] = { { m_wake[0], POLLIN, 0 }, { m_listen, POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                handle(fd);
        }
    }
}

// One request per connection; requests of one client arrive one after the other here.
void ResettingPeer::handle(int fd)
{
    timeval timeout { 10, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    QByteArray in;
    char buffer[64 * 1024];
    qsizetype headEnd = -1;
    while (headEnd < 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        in.append(buffer, n);
        headEnd = in.indexOf("\r\n\r\n");
    }
    const QByteArray head = in.left(headEnd);
    qint64 length = 0;
    for (const QByteArray &line : head.split('\n')) {
        if (line.toLower().startsWith("content-length:"))
            length = line.mid(15).trimmed().toLongLong();
    }
    const bool upload = head.startsWith("POST /apiv1/app/upload ");
    const qint64 wanted = upload ? std::min(length, m_cutAfter) : length;
    qint64 body = in.size() - (headEnd + 4);
    while (body < wanted) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        body += n;
    }
    if (upload) {
        m_seen = std::max<qint64>(m_seen, body);
        ++m_cut;
        // Zero linger: close() sends RST instead of FIN.
        const linger hard { 1, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        return;
    }
    const QByteArray reply
        = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: "
        + QByteArray::number(m_reply.size()) + "\r\n\r\n" + m_reply;
    [[maybe_unused]] const auto n = ::send(fd, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL);
    ::close(fd);
}

QByteArray ProcessRun::describe() const
{
    return u"exit %1%2%3\n--- out\n%4\n--- err\n%5"_s.arg(exitCode)
        .arg(crashed ? u" (crashed)"_s : QString(), timedOut ? u" (timed out)"_s : QString(), out, err)
        .toUtf8();
}

ProcessRun runQuilloProcess(const QStringList &arguments, const QStringList &environment, int timeoutMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : environment) {
        const qsizetype equals = pair.indexOf(u'=');
        env.insert(pair.left(equals), pair.mid(equals + 1));
    }
    return runProcess(TestEnvironment::binDir() + u"/quillo"_s, arguments, env, timeoutMs);
}

ProcessRun runProcess(
    const QString &program, const QStringList &arguments, const QProcessEnvironment &environment, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    ProcessRun run;
    if (!process.waitForFinished(timeoutMs)) {
        run.timedOut = true;
        process.kill();
        process.waitForFinished();
    }
    run.crashed = process.exitStatus() == QProcess::CrashExit;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}
