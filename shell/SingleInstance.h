#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;

// One running desktop program per user. The first start claims the instance (a lock file and a
// local socket in the user's runtime folder); a later start finds it claimed, asks the running
// program to come to the front, and ends. The running program hears that as reopenRequested().
//
//     SingleInstance instance;
//     if (!instance.claim())
//         return instance.requestReopen() ? 0 : 1;
//     QObject::connect(&instance, &SingleInstance::reopenRequested, ...);
//
// Fallback: when the runtime folder cannot hold the lock or the socket, the program runs on its
// own, without the single-instance check, and says so in the log.
class SingleInstance final : public QObject
{
    Q_OBJECT
public:
    // folder: where the lock and the socket live; by default the user's runtime folder.
    explicit SingleInstance(const QString &folder = QString(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True: this process is the instance (or runs alone, see above). False: another live
    // process holds the instance.
    bool claim();
    // Asks the running instance to bring its main window to the front; true once it has
    // confirmed. Waits at most timeoutMs.
    bool requestReopen(int timeoutMs = 3000);

    bool isListening() const;
    QString socketPath() const;
    QString lockPath() const;

signals:
    void reopenRequested();

private:
    void newConnection();
    void readRequest(QLocalSocket *socket);

    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
