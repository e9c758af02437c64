#include "cli/CommandSupport.h"

#include "cli/Console.h"
#include "cli/ExitCode.h"

#include <QJsonDocument>

using namespace Qt::StringLiterals;

bool CommandSupport::parse(Console &console, ArgParser &parser, const QStringList &arguments, const QString &command,
    const QString &help, int *status)
{
    if (!parser.parse(arguments)) {
        *status = usageError(console, command, parser.error());
        return false;
    }
    if (parser.isSet(u"help"_s)) {
        console.out() << help;
        console.out().flush();
        *status = ExitCode::Success;
        return false;
    }
    return true;
}

int CommandSupport::usageError(Console &console, const QString &command, const QString &message)
{
    console.error(message);
    console.note(u"运行 quillo %1 --help 查看用法"_s.arg(command));
    return ExitCode::Usage;
}

void CommandSupport::printJson(Console &console, const QJsonObject &object)
{
    console.out() << Console::printableJson(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)))
                  << '\n';
    console.out().flush();
}

bool CommandSupport::expectPositional(
    Console &console, const ArgParser &parser, const QString &command, int count, const QString &what, int *status)
{
    const QStringList positional = parser.positional();
    if (positional.size() == count)
        return true;
    if (positional.size() < count)
        *status = usageError(console, command, u"缺少%1"_s.arg(what));
    else
        *status = usageError(console, command, u"多余的参数“%1”"_s.arg(positional.at(count)));
    return false;
}
