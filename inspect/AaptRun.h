#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// One run of "aapt dump badging <package>": the whole standard output, read to its end
// (standard error goes where the program's own goes). The exit status is not looked at.
class AaptRun final : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { Output, ToolMissing, ToolFailed };
    Q_ENUM(Outcome)

    struct Result
    {
        Outcome outcome = Outcome::ToolFailed;
        QByteArray output;
        QString detail;
    };

    // A hung tool is stopped after this long; badging takes well under a second for real packages.
    static constexpr int DefaultTimeoutMs = 120 * 1000;
    // More output than this is not badging; the run counts as failed.
    static constexpr qint64 MaxOutputBytes = 16 * 1024 * 1024;

    // The three arguments "dump", "badging" and the package path, the path as one argument.
    static QStringList arguments(const QString &packagePath);

    // Runs the tool and waits. Usable on any thread, with or without an event loop.
    static Result runBlocking(const QString &aaptPath, const QString &packagePath, int timeoutMs = DefaultTimeoutMs);

    // Runs runBlocking on a thread of its own and emits finished from that thread, so a receiver
    // connected with a context object gets it queued on its own thread, and not at all once that
    // context is destroyed. The returned object deletes itself after the run; it has no parent.
    static AaptRun *start(const QString &aaptPath, const QString &packagePath, int timeoutMs = DefaultTimeoutMs);

Q_SIGNALS:
    void finished(AaptRun::Outcome outcome, const QByteArray &output, const QString &detail);

private:
    AaptRun() = default;
};
