#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QDArchiveModel;
class QProcess;

// Has the platform build tool (Config::xcodebuildPath(), "/usr/bin/xcodebuild" unless configured)
// export an .ipa from an archive. Each export writes "qlo.ipa" into a folder of its own below the
// work folder ("export-XXXXXX", mode 0700), so exports running at once (two windows, two
// terminals, two CI jobs of one user) never share a package. Success is exactly "that file exists
// once the tool has ended"; the tool's exit status and output are not looked at (its output goes
// to the program's own).
//
//     connect(&runner, &ExportRunner::finished, this, [this](bool exported, const QString &package) {
//         // stop the indicator; exported ? controller->ParseIPA(package) : show the failure
//     });
//     runner.start(archiveModel);
//
// Each start() is followed by exactly one finished(), on the main thread and never inside start()
// itself, unless cancel() or the runner's destruction comes first. Several exports may run at
// once; each reports for itself. Without a profile name the tool is not started: it cannot export
// without one, and finished(false) follows.
//
// The packages stay while the runner lives (the upload reads them); the runner's destruction
// removes every folder it made. Stopping a running tool never waits for it (ChildProcess::end):
// its folder goes once the tool has ended.
class ExportRunner final : public QObject
{
    Q_OBJECT
public:
    explicit ExportRunner(QObject *parent = nullptr);
    // Stops running exports; their finished() is not emitted.
    ~ExportRunner() override;

    // The package's name inside its export folder.
    static inline const QString kPackageName = QStringLiteral("qlo.ipa");
    // The nine arguments: -exportArchive -exportFormat ipa -archivePath <archive> -exportPath
    // <package> -exportProvisioningProfile <profile>, each value one argument whatever it holds.
    static QStringList arguments(const QString &archivePath, const QString &profileName, const QString &packagePath);

    // True when the tool was started.
    bool start(const QString &archivePath, const QString &provisionFileName);
    // Reads the model's archivePath and provisionFileName (computed now).
    bool start(const QDArchiveModel &archive);

    bool isRunning() const { return !m_running.isEmpty(); }
    // Stops every running export without a finished() for it; returns at once.
    void cancel();
    // The export folders this runner holds (running and ended exports).
    QStringList folders() const;

Q_SIGNALS:
    void finished(bool exported, const QString &packagePath);

private:
    struct Running
    {
        QProcess *process = nullptr;
        QString folder;
    };

    void conclude(QProcess *process);
    void finishLater(bool exported, const QString &packagePath);

    QList<Running> m_running;
    QStringList m_ended; // folders of ended exports, removed with the runner
    quint64 m_epoch = 0;
};
