#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QDArchiveModel;
class QProcess;

// Has the platform build tool (Config::xcodebuildPath(), "/usr/bin/xcodebuild" unless configured)
// export an .ipa from an archive into "<work folder>/qlo.ipa". Success is exactly "that file exists
// once the tool has ended"; the tool's exit status and output are not looked at (its output goes
// to the program's own). A package left by an earlier export is removed before the tool starts.
//
//     connect(&runner, &ExportRunner::finished, this, [this](bool exported, const QString &package) {
//         // stop the indicator; exported ? controller->ParseIPA(package) : show the failure
//     });
//     runner.start(archiveModel);
//
// Each start() is followed by exactly one finished(), on the main thread and never inside start()
// itself, unless cancel() or the runner's destruction comes first. Several exports may run at
// once; each reports for itself (they share the one package path, as the exports of the desktop
// program always have). Without a profile name the tool is not started: it cannot export
// without one, and finished(false) follows.
class ExportRunner final : public QObject
{
    Q_OBJECT
public:
    explicit ExportRunner(QObject *parent = nullptr);
    // Stops running exports; their finished() is not emitted.
    ~ExportRunner() override;

    // "<work folder>/qlo.ipa".
    static QString exportPath();
    // The nine arguments: -exportArchive -exportFormat ipa -archivePath <archive> -exportPath
    // <package> -exportProvisioningProfile <profile>, each value one argument whatever it holds.
    static QStringList arguments(const QString &archivePath, const QString &profileName, const QString &packagePath);

    // True when the tool was started.
    bool start(const QString &archivePath, const QString &provisionFileName);
    // Reads the model's archivePath and provisionFileName (computed now).
    bool start(const QDArchiveModel &archive);

    bool isRunning() const { return !m_running.isEmpty(); }
    // Stops every running export without a finished() for it.
    void cancel();

Q_SIGNALS:
    void finished(bool exported, const QString &packagePath);

private:
    void conclude(QProcess *process, const QString &packagePath);
    void finishLater(bool exported, const QString &packagePath);

    QList<QProcess *> m_running;
    quint64 m_epoch = 0;
};
