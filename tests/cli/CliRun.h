#pragma once

#include "cli/Cli.h"
#include "cli/Console.h"
#include "tests/support/Fixtures.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// One quillo command run in-process on buffers, as a test types it.
struct CliRun
{
    int status = -1;
    QString out;
    QString err;
    QStringList opened; // addresses handed to the browser

    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
};

struct CliOptions
{
    QByteArray input = {};
    bool errorIsTerminal = false;
    int width = 80;
};

inline CliRun runQuillo(const QStringList &arguments, const CliOptions &options = {})
{
    QBuffer input;
    input.setData(options.input);
    input.open(QIODevice::ReadOnly);
    QBuffer output;
    output.open(QIODevice::WriteOnly);
    QBuffer error;
    error.open(QIODevice::WriteOnly);
    CliRun run;
    {
        Console console(&input, &output, &error);
        console.setTerminals(false, false, options.errorIsTerminal);
        console.setTerminalWidth(options.width);
        console.setUrlOpener([&run](const QString &url, QString *) {
            run.opened.append(url);
            return true;
        });
        run.status = Cli(console).run(arguments);
    }
    run.out = QString::fromUtf8(output.data());
    run.err = QString::fromUtf8(error.data());
    return run;
}

using Fixtures::sha256Of;

// For QVERIFY2: what the command printed.
inline QByteArray describe(const CliRun &run)
{
    return QStringLiteral("status %1\n--- out\n%2\n--- err\n%3").arg(run.status).arg(run.out, run.err).toUtf8();
}
