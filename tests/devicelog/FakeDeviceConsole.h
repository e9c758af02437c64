#pragma once

#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>

// A stand-in for the device log tool in a resource folder of its own (QUILLO_RESOURCE_DIR points
// at it while the object lives). Chunk i is written, with one write, only after release(i); after
// the last chunk the script stays alive (exec sleep) so that the reader is what ends it.
class FakeDeviceConsole
{
public:
    explicit FakeDeviceConsole(const QList<QByteArray> &chunks)
        : m_previousResourceDir(qgetenv("QUILLO_RESOURCE_DIR"))
    {
        for (int i = 0; i < chunks.size(); ++i)
            writeFile(QStringLiteral("chunk%1").arg(i), chunks.at(i));
        setScript("#!/bin/sh\n"
                  "dir=$(dirname \"$0\")\n"
                  "echo $$ > \"$dir/pid\"\n"
                  "i=0\n"
                  "while [ -f \"$dir/chunk$i\" ]; do\n"
                  "  while [ ! -f \"$dir/go$i\" ]; do sleep 0.01; done\n"
                  "  cat \"$dir/chunk$i\"\n"
                  "  i=$((i+1))\n"
                  "done\n"
                  "exec sleep 600\n");
    }
    // A tool that runs this script instead.
    explicit FakeDeviceConsole(const char *script)
        : m_previousResourceDir(qgetenv("QUILLO_RESOURCE_DIR"))
    {
        setScript(script);
    }
    // An empty resource folder: the tool is missing.
    FakeDeviceConsole()
        : m_previousResourceDir(qgetenv("QUILLO_RESOURCE_DIR"))
    {
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(m_dir.path()));
    }
    ~FakeDeviceConsole() { qputenv("QUILLO_RESOURCE_DIR", m_previousResourceDir); }
    FakeDeviceConsole(const FakeDeviceConsole &) = delete;
    FakeDeviceConsole &operator=(const FakeDeviceConsole &) = delete;

    QString dir() const { return m_dir.path(); }
    void release(int chunk) { writeFile(QStringLiteral("go%1").arg(chunk), {}); }
    // The tool's process id, once it has started.
    qint64 pid() const
    {
        QFile file(m_dir.filePath(QStringLiteral("pid")));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    }
    static bool isAlive(qint64 pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH); }

    void writeFile(const QString &name, const QByteArray &content, bool executable = false) const
    {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        if (executable)
            file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser);
    }

private:
    void setScript(const QByteArray &script)
    {
        writeFile(QStringLiteral("deviceconsole"), script, true);
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(m_dir.path()));
    }

    QTemporaryDir m_dir { TestEnvironment::path(QStringLiteral("resources-XXXXXX")) };
    QByteArray m_previousResourceDir;
};
