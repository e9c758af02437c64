// quillo: the command line of the Quillo uploader.
#include "app/Config.h"
#include "app/LogMask.h"
#include "cli/Cli.h"
#include "cli/Console.h"
#include "cli/Interruption.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <csignal>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    // A reader that goes away (quillo upload ... | head) must not end an upload half way.
    std::signal(SIGPIPE, SIG_IGN);
    // Standard error belongs to the user: the program's diagnostics stay off unless
    // QT_LOGGING_RULES (which takes precedence over these rules) asks for them.
    QLoggingCategory::setFilterRules(u"quillo.*.debug=false\nquillo.*.info=false\nquillo.*.warning=false"_s);
    LogMask::install();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"quillo"_s);
    QCoreApplication::setApplicationVersion(Config::applicationVersion());
    Interruption::instance().installSignalHandlers();

    const std::unique_ptr<Console> console = Console::standard();
    return Cli(*console).run(QCoreApplication::arguments().mid(1));
}
