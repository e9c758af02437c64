#include "inspect/AaptRun.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

using namespace Qt::StringLiterals;

QStringList AaptRun::arguments(const QString &packagePath)
{
    return {u"dump"_s, u"badging"_s, packagePath};
}

AaptRun::Result AaptRun::runBlocking(const QString &aaptPath, const QString &packagePath, int timeoutMs)
{
    Result result;
    if (!QFileInfo::exists(aaptPath)) {
        result.outcome = Outcome::ToolMissing;
        result.detail = u"no aapt at %1"_s.arg(aaptPath);
        return result;
    }

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(aaptPath, arguments(packagePath), QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs)) {
        result.outcome = Outcome::ToolFailed;
        result.detail = u"aapt could not be started: %1"_s.arg(process.errorString());
        return result;
    }

    auto stop = [&](const QString &why) {
        process.kill();
        process.waitForFinished(5000);
        result.outcome = Outcome::ToolFailed;
        result.detail = why;
        return result;
    };

    QElapsedTimer clock;
    clock.start();
    QByteArray output;
    for (;;) {
        const qint64 remaining = timeoutMs - clock.elapsed();
        if (remaining <= 0)
            return stop(u"aapt did not finish within %1 ms"_s.arg(timeoutMs));
        if (process.waitForReadyRead(static_cast<int>(remaining))) {
            output += process.readAllStandardOutput();
            if (output.size() > MaxOutputBytes)
                return stop(u"aapt printed more than %1 bytes"_s.arg(MaxOutputBytes));
            continue;
        }
        // No more data: the tool has ended, or closed its output and may still be ending.
        if (process.state() == QProcess::NotRunning)
            break;
        const qint64 left = timeoutMs - clock.elapsed();
        if (left > 0 && process.waitForFinished(static_cast<int>(left)))
            break;
    }
    output += process.readAllStandardOutput();
    result.outcome = Outcome::Output;
    result.output = output;
    return result;
}

AaptRun *AaptRun::start(const QString &aaptPath, const QString &packagePath, int timeoutMs)
{
    qRegisterMetaType<AaptRun::Outcome>();
    auto *run = new AaptRun;
    QThread *thread = QThread::create([run, aaptPath, packagePath, timeoutMs] {
        const Result result = runBlocking(aaptPath, packagePath, timeoutMs);
        Q_EMIT run->finished(result.outcome, result.output, result.detail);
    });
    connect(thread, &QThread::finished, run, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return run;
}
