#include "inspect/ExportRunner.h"

#include "app/Config.h"
#include "app/WorkFolder.h"
#include "inspect/Logging.h"
#include "inspect/QDArchiveModel.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

using namespace Qt::StringLiterals;

ExportRunner::ExportRunner(QObject *parent)
    : QObject(parent)
{
}

ExportRunner::~ExportRunner()
{
    cancel();
}

QString ExportRunner::exportPath()
{
    return WorkFolder::path() + u"/qlo.ipa"_s;
}

QStringList ExportRunner::arguments(const QString &archivePath, const QString &profileName, const QString &packagePath)
{
    return {u"-exportArchive"_s, u"-exportFormat"_s,  u"ipa"_s,
            u"-archivePath"_s,   archivePath,         u"-exportPath"_s,
            packagePath,         u"-exportProvisioningProfile"_s, profileName};
}

bool ExportRunner::start(const QDArchiveModel &archive)
{
    return start(archive.archivePath(), archive.provisionFileName().value_or(QString()));
}

bool ExportRunner::start(const QString &archivePath, const QString &provisionFileName)
{
    QString error;
    const QString folder = WorkFolder::ensure(&error);
    if (folder.isEmpty()) {
        qCWarning(lcInspect).noquote() << "Export not started: the work folder cannot be used -" << error;
        finishLater(false, exportPath());
        return false;
    }
    const QString package = folder + u"/qlo.ipa"_s;
    const QFileInfo stale(package);
    if ((stale.exists() || stale.isSymLink()) && !QFile::remove(package)) {
        // A stale package must never pass for a new one.
        qCWarning(lcInspect).noquote() << "Export not started: cannot remove" << package;
        finishLater(false, package);
        return false;
    }
    if (provisionFileName.isEmpty()) {
        qCWarning(lcInspect).noquote() << "Export not started: the archive names no provisioning profile" << archivePath;
        finishLater(false, package);
        return false;
    }

    auto *process = new QProcess(this);
    process->setProgram(Config::xcodebuildPath());
    process->setArguments(arguments(archivePath, provisionFileName, package));
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::finished, this, [this, process, package] { conclude(process, package); });
    connect(process, &QProcess::errorOccurred, this, [this, process, package](QProcess::ProcessError processError) {
        if (processError == QProcess::FailedToStart) {
            qCWarning(lcInspect).noquote() << "Export tool could not be started:" << process->errorString();
            conclude(process, package);
        }
    });
    m_running.append(process);
    process->start();
    return true;
}

void ExportRunner::conclude(QProcess *process, const QString &packagePath)
{
    if (!m_running.removeOne(process))
        return; // already concluded (an error and the end can both be reported)
    process->deleteLater();
    finishLater(QFileInfo(packagePath).isFile(), packagePath);
}

void ExportRunner::finishLater(bool exported, const QString &packagePath)
{
    const quint64 epoch = m_epoch;
    QMetaObject::invokeMethod(
        this,
        [this, epoch, exported, packagePath] {
            if (epoch != m_epoch)
                return;
            Q_EMIT finished(exported, packagePath);
            qCInfo(lcInspect, "Parse finished");
        },
        Qt::QueuedConnection);
}

void ExportRunner::cancel()
{
    ++m_epoch;
    const QList<QProcess *> running = m_running;
    m_running.clear();
    for (QProcess *process : running) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(2000);
        delete process;
    }
}
