#include "shell/AppDelegate.h"
#include "app/Config.h"
#include "app/LogMask.h"
#include "app/Logging.h"
#include "builds/QDWelcomeViewController.h"
#include "shell/SingleInstance.h"
#include "shell/StartOptions.h"
#include "ui/StatusItem.h"
#include "upload/QDUploadViewController.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QLoggingCategory>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// Debugging aid (used by scripts/screenshots.sh): QUILLO_OPEN_PACKAGE=<path of an .ipa or .apk>
// opens an upload window on that package once the recent-builds screen is up, as if it had been
// dropped there. Nothing happens while nobody is logged in.
void openPackageForDebugging(AppDelegate &delegate)
{
    const QString path = qEnvironmentVariable("QUILLO_OPEN_PACKAGE");
    if (path.isEmpty())
        return;
    QTimer::singleShot(0, &delegate, [&delegate, path] {
        QDWelcomeViewController *welcome = delegate.welcomeController();
        if (!welcome) {
            qCWarning(lcApp) << "QUILLO_OPEN_PACKAGE needs a logged-in user";
            return;
        }
        welcome->uploadButtonClicked();
        const QString absolute = QFileInfo(path).absoluteFilePath();
        if (absolute.endsWith(u".apk"_s, Qt::CaseInsensitive))
            welcome->uploadController()->ParseAPK(absolute);
        else
            welcome->uploadController()->ParseIPA(absolute);
    });
}

} // namespace

int main(int argc, char *argv[])
{
    // Before the application object, which would need a display.
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments.append(QString::fromLocal8Bit(argv[i]));
    if (const StartOptions early = StartOptions::parse(rawArguments); early.help || early.version) {
        const QString text = early.help ? StartOptions::helpText() : StartOptions::versionText();
        std::fputs(text.toUtf8().constData(), stdout);
        return 0;
    }

    // A desktop session keeps standard error in its journal: information and warnings go there,
    // debug lines only when QT_LOGGING_RULES (which takes precedence over these rules) asks for
    // them, and no line carries a secret.
    QLoggingCategory::setFilterRules(u"quillo.*.debug=false"_s);
    LogMask::install();

    QApplication app(argc, argv);
    // Without the toolkit's own options, which it has taken out.
    const StartOptions options = StartOptions::parse(QCoreApplication::arguments());
    QApplication::setApplicationName(u"Quillo"_s);
    QApplication::setApplicationVersion(Config::applicationVersion());
    QApplication::setWindowIcon(QIcon(u":/images/quillo"_s));
    QGuiApplication::setDesktopFileName(u"quillo"_s);
    // Closing the main window leaves the program in the status bar; only Quit ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (!instance.claim()) {
        if (options.hidden) {
            qCInfo(lcApp) << "Quillo is already running; --hidden leaves it as it is";
            return 0;
        }
        qCInfo(lcApp) << "Quillo is already running; bringing its window to the front";
        return instance.requestReopen() ? 0 : 1;
    }

    QMainWindow window;
    window.setObjectName(u"mainWindow"_s);
    window.setMinimumSize(560, 460);
    window.resize(640, 520);
    AppDelegate delegate(&window);
    QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate,
        [&delegate, &window] { delegate.applicationShouldHandleReopen(window.isVisible()); });
    delegate.applicationDidFinishLaunching();
    if (!options.ignored.isEmpty())
        qCWarning(lcApp) << "Ignoring the arguments" << options.ignored;
    if (options.showsWindowAtStart(delegate.statusItem()->trayIcon() != nullptr))
        window.show();
    else
        qCInfo(lcApp) << "Started hidden: the status item brings the window back";
    openPackageForDebugging(delegate);

    const int status = QApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
