#include "inspect/ExportRunner.h"

#include "app/ChildProcess.h"
#include "app/Config.h"
#include "app/WorkFolder.h"
#include "inspect/Logging.h"
#include "inspect/QDArchiveModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// A new, empty folder below the work folder; empty when it cannot be made.
QString makeExportFolder(const QString &workFolder)
{
    QByteArray name = QFile::encodeName(workFolder + u"/export-XXXXXX"_s);
    if (!::mkdtemp(name.data())) // mode 0700
        return QString();
    return QFile::decodeName(name);
}

void removeExportFolder(const QString &folder)
{
    if (folder.isEmpty() || !WorkFolder::contains(folder))
        return;
    if (!QDir(folder).removeRecursively())
        qCWarning(lcInspect).noquote() << "Delete folder error" << folder;
}

} // namespace

ExportRunner::ExportRunner(QObject *parent)
    : QObject(parent)
{
}

ExportRunner::~ExportRunner()
{
    cancel();
    for (const QString &folder : std::as_const(m_ended))
        removeExportFolder(folder);
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
    const QString work = WorkFolder::ensure(&error);
    const QString folder = work.isEmpty() ? QString() : makeExportFolder(work);
    if (folder.isEmpty()) {
        if (error.isEmpty())
            error = QString::fromLocal8Bit(std::strerror(errno));
        qCWarning(lcInspect).noquote() << "Export not started: no export folder in the work folder -" << error;
        finishLater(false, QString());
        return false;
    }
    const QString package = folder + u'/' + kPackageName;
    if (provisionFileName.isEmpty()) {
        qCWarning(lcInspect).noquote() << "Export not started: the archive names no provisioning profile" << archivePath;
        removeExportFolder(folder);
        finishLater(false, package);
        return false;
    }

    auto *process = new QProcess(this);
    process->setProgram(Config::xcodebuildPath());
    process->setArguments(arguments(archivePath, provisionFileName, package));
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    ChildProcess::runInOwnGroup(*process);
    connect(process, &QProcess::finished, this, [this, process] { conclude(process); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError processError) {
        if (processError == QProcess::FailedToStart) {
            qCWarning(lcInspect).noquote() << "Export tool could not be started:" << process->errorString();
            conclude(process);
        }
    });
    m_running.append({ process, folder });
    process->start();
    return true;
}

void ExportRunner::conclude(QProcess *process)
{
    const auto found = std::find_if(
        m_running.cbegin(), m_running.cend(), [process](const Running &r) { return r.process == process; });
    if (found == m_running.cend())
        return; // already concluded (an error and the end can both be reported)
    const QString folder = found->folder;
    m_running.erase(found);
    m_ended.append(folder);
    process->deleteLater();
    const QString package = folder + u'/' + kPackageName;
    finishLater(QFileInfo(package).isFile(), package);
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
    const QList<Running> running = m_running;
    m_running.clear();
    for (const Running &r : running) {
        r.process->disconnect(this);
        // The folder goes once the tool cannot write into it any more.
        ChildProcess::end(r.process, ChildProcess::kDefaultGrace, [folder = r.folder] { removeExportFolder(folder); });
    }
}

QStringList ExportRunner::folders() const
{
    QStringList all = m_ended;
    for (const Running &r : m_running)
        all.append(r.folder);
    return all;
}
