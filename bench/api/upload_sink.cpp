// A loopback HTTP sink for the upload benchmark: takes each request's body (Content-Length),
// discards it, answers {"code":0} and closes. Prints its port on the first line of output and
// serves until killed. Answers "Expect: 100-continue" at once, so that curl does not wait.

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool sendAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

std::string headerValue(const std::string &head, const char *name)
{
    const size_t length = std::strlen(name);
    size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (head.size() >= at + length + 1 && ::strncasecmp(head.c_str() + at, name, length) == 0
            && head[at + length] == ':') {
            const size_t start = head.find_first_not_of(' ', at + length + 1);
            return head.substr(start, head.find("\r\n", start) - start);
        }
    }
    return std::string();
}

void serve(int fd)
{
    std::vector<char> buffer(1024 * 1024);
    std::string head;
    size_t end = std::string::npos;
    while (end == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        head.append(buffer.data(), size_t(n));
        end = head.find("\r\n\r\n");
    }
    long long left = std::atoll(headerValue(head, "Content-Length").c_str());
    left -= (long long)(head.size() - (end + 4));
    if (::strcasecmp(headerValue(head, "Expect").c_str(), "100-continue") == 0)
        sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    while (left > 0) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        left -= n;
    }
    sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10\r\n"
                "Connection: close\r\n\r\n{\"code\":0}");
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer.data(), buffer.size(), 0) > 0) {
    }
    ::close(fd);
}

} // namespace

int main()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("upload_sink");
        return 1;
    }
    std::printf("%u\n", unsigned(ntohs(address.sin_port)));
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            std::thread(serve, fd).detach();
    }
}
