#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// One plain TCP connection to 127.0.0.1, for requests no HTTP client would send: a body cut off
// half way, a stall, headers alone while waiting for "100 Continue".
class RawConnection final
{
public:
    explicit RawConnection(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawConnection() { close(); }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool send(const QByteArray &bytes)
    {
        qsizetype sent = 0;
        while (m_fd >= 0 && sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return sent == bytes.size();
    }
    // Reads until the peer closes or timeoutMs pass; stops early once stopAt appears.
    QByteArray receive(int timeoutMs, const QByteArray &stopAt = {})
    {
        QByteArray data;
        QDeadlineTimer deadline(timeoutMs);
        while (m_fd >= 0 && !deadline.hasExpired()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(std::max<qint64>(1, deadline.remainingTime()))) <= 0)
                break;
            char buffer[8192];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                m_peerClosed = true;
                break;
            }
            data.append(buffer, n);
            if (!stopAt.isEmpty() && data.contains(stopAt))
                break;
        }
        return data;
    }
    bool peerClosed() const { return m_peerClosed; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    bool m_peerClosed = false;
};
