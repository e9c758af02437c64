#pragma once

// Helpers of the fault tests: a peer that resets the connection in the middle of an upload,
// the quillo command as a child process, and checksums.

#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <thread>

// Answers every request on 127.0.0.1 with `reply` (a JSON envelope) and closes, except the
// package upload ("/apiv1/app/upload"): of that it reads the head and `cutAfter` bytes of the
// body, then resets the connection (RST), as a service or a middlebox that dies mid-upload.
class ResettingPeer final
{
public:
    explicit ResettingPeer(qint64 cutAfter, QByteArray reply = "{\"code\":0,\"data\":{}}");
    ~ResettingPeer();
    ResettingPeer(const ResettingPeer &) = delete;
    ResettingPeer &operator=(const ResettingPeer &) = delete;

    QString hostPort() const;
    int uploadsCut() const { return m_cut; }
    // Body bytes of the largest upload taken before the reset.
    qint64 bodyBytesSeen() const { return m_seen; }

private:
    void serve();
    void handle(int fd);

    int m_listen = -1;
    int m_wake[2] = { -1, -1 };
    quint16 m_port = 0;
    qint64 m_cutAfter;
    QByteArray m_reply;
    std::atomic<int> m_cut { 0 };
    std::atomic<qint64> m_seen { 0 };
    std::thread m_thread;
};

struct ProcessRun
{
    int exitCode = -1;
    bool crashed = false;
    bool timedOut = false;
    QString out;
    QString err;
    QByteArray describe() const;
};

// Runs the built quillo command with the test's environment plus `environment` (NAME=value).
ProcessRun runQuilloProcess(const QStringList &arguments, const QStringList &environment = {}, int timeoutMs = 60000);
// Runs a program with exactly the given environment, standard input empty.
ProcessRun runProcess(
    const QString &program, const QStringList &arguments, const QProcessEnvironment &environment, int timeoutMs = 60000);

using Fixtures::sha256Of;
