#pragma once

#include <QString>
#include <QStringList>

class Console;

// The quillo command: reads the command name and hands the rest of the arguments to the command,
// which writes through the console. Runs in-process: a test makes a Console on buffers and calls
// run() with the arguments it would type.
//
//     Console console(&input, &output, &error);
//     const int status = Cli(console).run({u"upload"_s, path, u"--json"_s});
//
// Every command needs a QCoreApplication and runs on its thread; the ones that talk to the
// service or to a tool spin a local event loop until they are done. The exit codes are those of
// ExitCode.h.
class Cli final
{
public:
    explicit Cli(Console &console);

    // arguments: without the program's name.
    int run(const QStringList &arguments);

    static QString usage();
    static QString versionText();
    // The commands' names, in the order the usage lists them.
    static QStringList commandNames();

private:
    Console &m_console;
};
