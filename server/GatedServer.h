#pragma once

#include <QtGlobal>

#include <httplib.h>

#include <memory>
#include <string>

// cpp-httplib's server behind a gate. cpp-httplib 0.11 reads header lines without bound and gives
// every connection a worker thread from its first byte, so a flood of headers grows the process
// and a few slow clients stall every other one. Here one thread reads the request line, the headers
// and small bodies of every connection at once, within bounds and a deadline, and hands only
// complete requests to the workers; a body still to come is read by a worker against a deadline
// that grows with its declared size. Some workers are kept for requests already read whole, so slow
// bodies cannot take them all. One request per connection.
class GatedServer final : public httplib::Server
{
public:
    struct Limits
    {
        qint64 maxHeadBytes = 64 * 1024; // request line and headers together
        int maxHeaderLines = 100;
        qint64 prefetchBytes = 64 * 1024; // bodies up to this size arrive before a worker is given the request
        int headerTimeoutMs = 10000; // from the connection to the end of the headers (and a small body)
        int requestTimeoutMs = 60000; // after the headers, for a body still to come...
        qint64 bodyBytesPerSecond = 128 * 1024; // ...plus one second per this many bytes of it
        qint64 maxBodyBytes = 0; // what an unsized (chunked) body is given time for
        int readTimeoutMs = 30000; // longest silence while a body is read
        int writeTimeoutMs = 30000;
        int workers = 32;
        int pendingPerAddress = 64; // connections still sending their headers, per address and in all
        int pendingTotal = 512;
        // A connection beyond those limits waits this long for a place before it is refused: the
        // heads of earlier connections may have arrived without having been read yet.
        int admissionWaitMs = 1000;
    };

    explicit GatedServer(const Limits &limits);
    ~GatedServer() override;

    // After binding: a queue of connections not yet accepted as long as the system allows
    // (cpp-httplib asks for 5, and a burst beyond that waits a second for the retried SYN).
    bool widenBacklog();

private:
    struct Job;
    class Gate;
    class Queue;
    friend class Gate;

    // Called by cpp-httplib for each accepted connection, on its listening thread (our queue runs
    // tasks at once): the connection goes to the gate.
    bool process_and_close_socket(socket_t sock) override;
    void serve(Job &job);

    Limits m_limits;
    std::unique_ptr<Gate> m_gate;
};
