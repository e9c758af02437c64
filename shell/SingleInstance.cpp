#include "shell/SingleInstance.h"

#include "ui/Logging.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
const QByteArray kRequest = "reopen\n";
const QByteArray kAnswer = "ok\n";
// A peer that says nothing sensible within this time is dropped.
constexpr int kPeerTimeoutMs = 5000;
constexpr qsizetype kMaxRequest = 64;
} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_folder(folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : folder)
{ }

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

QString SingleInstance::socketPath() const
{
    return m_folder + u"/quillo-desktop.socket"_s;
}

QString SingleInstance::lockPath() const
{
    return m_folder + u"/quillo-desktop.lock"_s;
}

bool SingleInstance::isListening() const
{
    return m_server && m_server->isListening();
}

bool SingleInstance::claim()
{
    if (m_lock)
        return true;
    if (m_folder.isEmpty() || !QDir().mkpath(m_folder)) {
        qCWarning(lcUi) << "No runtime folder for the single-instance check; running alone";
        return true;
    }
    auto lock = std::make_unique<QLockFile>(lockPath());
    // A lock left by a process that died is taken over (the lock file names its process).
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (lock->error() == QLockFile::LockFailedError)
            return false;
        qCWarning(lcUi) << "Cannot take the single-instance lock" << lockPath() << "; running alone";
        return true;
    }
    m_lock = std::move(lock);

    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath()); // a socket file left by a process that died
    if (!m_server->listen(socketPath())) {
        qCWarning(lcUi) << "Cannot listen on" << socketPath() << m_server->errorString()
                        << "; a second start will not find this one";
        return true;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::newConnection);
    return true;
}

bool SingleInstance::requestReopen(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    // The running instance may hold the lock a moment before it listens.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            socket.write(kRequest);
            if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
            QByteArray answer;
            while (!answer.contains('\n') && socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                answer += socket.readAll();
            return answer == kAnswer;
        }
        QThread::msleep(50);
    }
    qCWarning(lcUi) << "The running instance did not answer at" << socketPath();
    return false;
}

void SingleInstance::newConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        QTimer::singleShot(kPeerTimeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

void SingleInstance::readRequest(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxRequest)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(kMaxRequest);
    if (line != kRequest) {
        qCWarning(lcUi) << "Unknown request on the instance socket:" << line.left(32);
        socket->abort();
        return;
    }
    socket->write(kAnswer);
    socket->flush();
    socket->disconnectFromServer();
    emit reopenRequested();
}
