#pragma once

#include "cli/ArgParser.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

class Console;

// What every command shares: parsing with the help option, usage errors, JSON output.
namespace CommandSupport {

// The options plus -h/--help. Returns true when the command should go on; otherwise *status is
// set: 0 after printing help, ExitCode::Usage after printing the parse error.
bool parse(Console &console, ArgParser &parser, const QStringList &arguments, const QString &command,
    const QString &help, int *status);

// Prints the message and a hint to the command's help; returns ExitCode::Usage.
int usageError(Console &console, const QString &command, const QString &message);

// One JSON object on one line of standard output.
void printJson(Console &console, const QJsonObject &object);

// ExitCode::Usage unless there are exactly count positional arguments (named in the message).
bool expectPositional(
    Console &console, const ArgParser &parser, const QString &command, int count, const QString &what, int *status);

} // namespace CommandSupport
