// The command line's parts that need no service: option parsing, the archive scan, the progress
// output, the terminal QR code, the upload settings over the form's defaults, colours.

#include "api/RetryPolicy.h"
#include "cli/AccountCommands.h"
#include "cli/ArgParser.h"
#include "cli/Console.h"
#include "cli/EnvironmentSession.h"
#include "cli/ExitCode.h"
#include "cli/ProgressReporter.h"
#include "cli/TerminalQr.h"
#include "cli/UploadCommand.h"
#include "inspect/ArchiveScanner.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"
#include "upload/AppInfoKeys.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <sys/time.h>

using namespace Qt::StringLiterals;

namespace {

bool setModified(const QString &path, qint64 seconds)
{
    const timeval times[2] = { { time_t(seconds), 0 }, { time_t(seconds), 0 } };
    return ::utimes(QFile::encodeName(path).constData(), times) == 0;
}

QStringList names(const QList<QDArchiveModel> &archives)
{
    QStringList list;
    for (const QDArchiveModel &archive : archives)
        list.append(QFileInfo(archive.archivePath()).fileName());
    return list;
}

// Reads the drawing back into modules, draws them into a PGM image (light modules white, a wide
// white margin) and has zbarimg decode it.
QString decodeDrawing(const QString &drawing, QString *error)
{
    QList<QList<bool>> light;
    for (const QString &line : drawing.split(u'\n', Qt::SkipEmptyParts)) {
        QList<bool> top;
        QList<bool> bottom;
        for (const QChar c : line) {
            top.append(c == QChar(0x2588) || c == QChar(0x2580));
            bottom.append(c == QChar(0x2588) || c == QChar(0x2584));
        }
        light.append(top);
        light.append(bottom);
    }
    const int scale = 6;
    const int margin = 24;
    const int height = int(light.size()) * scale + 2 * margin;
    const int width = int(light.constFirst().size()) * scale + 2 * margin;
    QByteArray image = "P5 " + QByteArray::number(width) + ' ' + QByteArray::number(height) + " 255\n";
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int my = (y - margin) / scale;
            const int mx = (x - margin) / scale;
            const bool inside = y >= margin && x >= margin && my < light.size() && mx < light.at(my).size();
            image.append(!inside || light.at(my).at(mx) ? char(255) : char(0));
        }
    }
    const QString path = TestEnvironment::path(u"qr/code.pgm"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        *error = u"cannot write "_s + path;
        return {};
    }
    file.close();
    QProcess zbar;
    zbar.start(u"zbarimg"_s, { u"-q"_s, u"--raw"_s, path });
    if (!zbar.waitForFinished(30000) || zbar.exitCode() != 0) {
        *error = u"zbarimg: "_s + QString::fromLocal8Bit(zbar.readAllStandardError()) + zbar.errorString();
        return {};
    }
    return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
}

struct BufferConsole
{
    QBuffer in;
    QBuffer out;
    QBuffer err;
    std::unique_ptr<Console> console;
    BufferConsole(bool errorTerminal = false)
    {
        in.open(QIODevice::ReadOnly);
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        console = std::make_unique<Console>(&in, &out, &err);
        console->setTerminals(false, false, errorTerminal);
    }
    QString errText()
    {
        console->flush();
        return QString::fromUtf8(err.data());
    }
};

} // namespace

class TestCliRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void optionsValuesFlagsAndPositionals()
    {
        ArgParser parser({ { u"email"_s, true, {} }, { u"json"_s, false, {} }, { u"output"_s, true, u'o' } });
        QVERIFY(parser.parse({ u"--email"_s, u"a@b.cn"_s, u"pkg.ipa"_s, u"--json"_s, u"-o"_s, u"x"_s, u"-"_s }));
        QCOMPARE(parser.value(u"email"_s), u"a@b.cn"_s);
        QVERIFY(parser.isSet(u"json"_s));
        QCOMPARE(parser.value(u"output"_s), u"x"_s);
        QCOMPARE(parser.positional(), (QStringList { u"pkg.ipa"_s, u"-"_s }));

        QVERIFY(parser.parse({ u"--email=x=y"_s, u"--"_s, u"--json"_s }));
        QCOMPARE(parser.value(u"email"_s), u"x=y"_s);
        QVERIFY(!parser.isSet(u"json"_s));
        QCOMPARE(parser.positional(), QStringList { u"--json"_s });

        QVERIFY(parser.parse({ u"-h"_s }));
        QVERIFY(parser.isSet(u"help"_s)); // every command knows it

        QVERIFY(!parser.parse({ u"--email"_s }));
        QCOMPARE(parser.error(), u"选项“--email”需要一个值"_s);
        QVERIFY(!parser.parse({ u"--json=1"_s }));
        QCOMPARE(parser.error(), u"选项“--json”不带值"_s);
        QVERIFY(!parser.parse({ u"--mail"_s, u"x"_s }));
        QCOMPARE(parser.error(), u"未知选项“--mail”"_s);
        QVERIFY(!parser.parse({ u"-xyz"_s }));
    }

    void archiveScanTwoLevelsNewestFirst()
    {
        const QString root = TestEnvironment::path(u"scan/Archives"_s);
        struct Made
        {
            QString path;
            qint64 time;
            bool withIdentifier = true;
        };
        const QList<Made> made = {
            { u"2024-01-01/A.xcarchive"_s, 1000 }, { u"2024-01-02/B.xcarchive"_s, 3000 },
            { u"2024-01-02/C.xcarchive"_s, 2000 }, { u"2024-01-02/.E.xcarchive"_s, 5000 }, // hidden candidate
            { u".old/D.xcarchive"_s, 4000 }, // hidden first level
            { u"2024-01-03/NoId.xcarchive"_s, 6000, false }, { u"2024-01-03/Plain"_s, 2500 }, // no extension check
        };
        for (const Made &m : made) {
            Fixtures::Archive archive;
            archive.profileName = std::nullopt;
            if (!m.withIdentifier)
                archive.app.info.remove(u"CFBundleIdentifier"_s);
            QVERIFY2(Fixtures::makeArchive(root + u'/' + m.path, archive), qPrintable(Fixtures::lastError()));
        }
        QVERIFY(QDir(root).mkpath(u"2024-01-02/NotAnArchive/Products"_s));
        QFile plainFile(root + u"/notes.txt"_s);
        QVERIFY(plainFile.open(QIODevice::WriteOnly));
        plainFile.close();
        for (const Made &m : made)
            QVERIFY(setModified(root + u'/' + m.path, m.time));

        const ArchiveScanner::Result result = ArchiveScanner::scan(root);
        QCOMPARE(result.recentlyBuild.size(), 4);
        QCOMPARE(names(result.sortedRecentlyBuild),
            (QStringList { u"B.xcarchive"_s, u"Plain"_s, u"C.xcarchive"_s, u"A.xcarchive"_s }));
        QCOMPARE(result.sortedRecentlyBuild.constFirst().identifier(), std::optional<QString>(u"com.example.demo"_s));

        QVERIFY(ArchiveScanner::scan(TestEnvironment::path(u"scan/missing"_s)).recentlyBuild.isEmpty());

        // Equal times keep the order they came in.
        QVERIFY(setModified(root + u"/2024-01-01/A.xcarchive"_s, 7000));
        QVERIFY(setModified(root + u"/2024-01-02/C.xcarchive"_s, 7000));
        const QDArchiveModel a(root + u"/2024-01-01/A.xcarchive"_s);
        const QDArchiveModel c(root + u"/2024-01-02/C.xcarchive"_s);
        QCOMPARE(names(ArchiveScanner::newestFirst({ a, c })), (QStringList { u"A.xcarchive"_s, u"C.xcarchive"_s }));
        QCOMPARE(names(ArchiveScanner::newestFirst({ c, a })), (QStringList { u"C.xcarchive"_s, u"A.xcarchive"_s }));
    }

    void progressLinesAtASaneRate()
    {
        BufferConsole c;
        ProgressReporter progress(*c.console, ProgressReporter::Mode::Lines);
        progress.setStatus(u"1.00 MB/s，剩余 0:05"_s);
        for (int i = 0; i <= 1000; ++i)
            progress.update(i / 1000.0 * 0.98, i * 5);
        progress.update(1.0, 6000);
        progress.finish();
        const QStringList lines = c.errText().split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() <= 11, qPrintable(lines.join(u'\n')));
        QCOMPARE(lines.constFirst(), u"上传 0%  1.00 MB/s，剩余 0:05"_s);
        QCOMPARE(lines.constLast(), u"上传 100%"_s);
        int previous = -1;
        static const QRegularExpression number(u"^上传 (\\d+)%"_s);
        for (const QString &line : lines) {
            const int value = number.match(line).captured(1).toInt();
            QVERIFY2(value > previous, qPrintable(line));
            previous = value;
        }

        // A slow link: a line every 10 seconds, even while the whole percent stays where it was;
        // a tenth of the way still gets its line at once.
        BufferConsole slow;
        ProgressReporter crawl(*slow.console, ProgressReporter::Mode::Lines);
        for (int second = 0; second < 35; ++second)
            crawl.update(second / 10000.0, second * 1000);
        crawl.update(0.1, 36000);
        crawl.update(0.101, 37000);
        QCOMPARE(slow.errText(), u"上传 0%\n上传 0%\n上传 0%\n上传 0%\n上传 10%\n"_s);

        BufferConsole silent;
        ProgressReporter none(*silent.console, ProgressReporter::Mode::Silent);
        none.update(0.5, 0);
        none.finish();
        QVERIFY(silent.errText().isEmpty());
    }

    void progressBarRedrawsInPlaceWithinTheWidth()
    {
        const QString status = u"12.3 KB/s，剩余 1:02:03"_s;
        for (const int width : { 40, 80, 120 }) {
            const QString line = ProgressReporter::barLine(0.5, status, width);
            QVERIFY2(Console::displayWidth(line) <= width - 1, qPrintable(line));
            QVERIFY2(line.contains(u" 50%"_s), qPrintable(line));
        }
        QVERIFY(ProgressReporter::barLine(0.5, status, 80).endsWith(status));
        // Too narrow for the status: the bar stays, the status goes.
        QVERIFY(!ProgressReporter::barLine(0.5, status, 30).contains(status));
        // The framing can push the value past 1: a full bar at 100 %.
        const QString full = ProgressReporter::barLine(1.02, QString(), 60);
        QVERIFY2(full.contains(u"100%"_s) && !full.contains(QChar(0x2591)), qPrintable(full));

        BufferConsole c(true);
        ProgressReporter bar(*c.console, ProgressReporter::Mode::Bar);
        for (int ms = 0; ms < 1000; ++ms)
            bar.update(ms / 1000.0 * 0.98, ms);
        bar.update(1.0, 1000);
        bar.finish();
        const QString text = c.errText();
        QVERIFY2(text.count(u'\r') <= 12, qPrintable(QString::number(text.count(u'\r'))));
        QVERIFY(text.endsWith(u"100%\x1b[K\n"_s));
        QCOMPARE(text.count(u'\n'), 1);
    }

    void qrCodeReadsBackAsTheAddress()
    {
        const QString address = u"http://127.0.0.1:8690/demo-app_1"_s;
        const QString drawing = TerminalQr::render(address, false);
        QVERIFY(!drawing.isEmpty());
        QString error;
        QCOMPARE(decodeDrawing(drawing, &error), address);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // With colours each line is wrapped in black background and white ink; the drawing is the same.
        QString coloured = TerminalQr::render(address, true);
        QVERIFY(coloured.startsWith(u"\x1b[40;97m"_s));
        coloured.remove(u"\x1b[40;97m"_s).remove(u"\x1b[0m"_s);
        QCOMPARE(coloured, drawing);
    }

    void uploadSettingsAreTheFormsWithTheChoicesOverThem()
    {
        QVariantMap fresh { { AppInfoKey::appName, u"Demo"_s }, { AppInfoKey::packageName, u"com.example.demo"_s },
            { AppInfoKey::shortcutUrl, u"demo"_s }, { AppInfoKey::urlCanbeModified, u"1"_s } };
        QVariantMap settings = UploadCommand::settingsFor(fresh, 1, {});
        QCOMPARE(settings.value(u"shortcut"_s), QVariant(u"demo"_s));
        QCOMPARE(settings.value(u"name"_s), QVariant(u"Demo"_s));
        QCOMPARE(settings.value(u"publishRange"_s), QVariant(u"2"_s));
        QCOMPARE(settings.value(u"isPublishToPublic"_s), QVariant(u"1"_s));

        UploadCommand::Choices choices;
        choices.name = u"演示"_s;
        choices.shortcut = u"mine"_s;
        choices.password = u"pw"_s;
        choices.publishRange = u"3"_s;
        choices.isPublishToPublic = u"2"_s;
        choices.description = u"line 1\nline 2"_s;
        settings = UploadCommand::settingsFor(fresh, 1, choices);
        QCOMPARE(settings,
            (QVariantMap { { u"name"_s, u"演示"_s }, { u"shortcut"_s, u"mine"_s }, { u"password"_s, u"pw"_s },
                { u"publishRange"_s, u"3"_s }, { u"isPublishToPublic"_s, u"2"_s },
                { u"description"_s, u"line 1\nline 2"_s } }));
        // The publish range is an iOS setting: an Android form keeps its hidden default.
        QCOMPARE(UploadCommand::settingsFor(fresh, 2, choices).value(u"publishRange"_s), QVariant(u"2"_s));

        // A published application: the service's values are the defaults and its suffix stays.
        const QVariantMap parent { { AppInfoKey::appName, u"Demo"_s }, { AppInfoKey::shortcutUrl, u"old"_s },
            { AppInfoKey::password, u"secret"_s }, { AppInfoKey::isPublishToPublic, u"2"_s },
            { AppInfoKey::publishRange, u"3"_s }, { AppInfoKey::urlCanbeModified, u"0"_s } };
        settings = UploadCommand::settingsFor(parent, 1, {});
        QCOMPARE(settings.value(u"password"_s), QVariant(u"secret"_s));
        QCOMPARE(settings.value(u"isPublishToPublic"_s), QVariant(u"2"_s));
        QCOMPARE(settings.value(u"publishRange"_s), QVariant(u"3"_s));
        UploadCommand::Choices newSuffix;
        newSuffix.shortcut = u"new"_s;
        QCOMPARE(UploadCommand::settingsFor(parent, 1, newSuffix).value(u"shortcut"_s), QVariant(u"old"_s));
        // The service could not be asked: the user's suffix goes (the service checks it when publishing).
        QVariantMap unprepared = parent;
        unprepared.remove(AppInfoKey::urlCanbeModified);
        QCOMPARE(UploadCommand::settingsFor(unprepared, 1, newSuffix).value(u"shortcut"_s), QVariant(u"new"_s));

        QCOMPARE(UploadCommand::publishRangeValue(u"all"_s), std::optional<QString>(u"2"_s));
        QCOMPARE(UploadCommand::publishRangeValue(u"invited"_s), std::optional<QString>(u"3"_s));
        QCOMPARE(UploadCommand::publishRangeValue(u"everyone"_s), std::nullopt);
    }

    void retryWaitsGrowAndOnlyTransportFailuresAreRetried()
    {
        using std::chrono::milliseconds;
        RetryPolicy policy;
        QList<qint64> longest;
        QList<qint64> shortest;
        for (int retry = 1; retry <= 7; ++retry) {
            longest.append(policy.waitBefore(retry, 1.0).count());
            shortest.append(policy.waitBefore(retry, 0.0).count());
        }
        QCOMPARE(longest, (QList<qint64> { 1000, 2000, 4000, 8000, 16000, 30000, 30000 }));
        QCOMPARE(shortest, (QList<qint64> { 500, 1000, 2000, 4000, 8000, 15000, 15000 }));
        QCOMPARE(policy.waitBefore(1000000, 1.0), milliseconds(30000));
        policy.maxWait = milliseconds(0);
        QCOMPARE(policy.waitBefore(3, 1.0), milliseconds(0));

        QCOMPARE(RetryPolicy::retryReason(TransferFailure::ConnectionRefused, 0, false), u"连接被拒绝"_s);
        QCOMPARE(RetryPolicy::retryReason(TransferFailure::ConnectionReset, 0, false), u"连接中断"_s);
        QVERIFY(RetryPolicy::retryReason(TransferFailure::TimedOut, 0, false));
        QCOMPARE(RetryPolicy::retryReason(TransferFailure::None, 502, false), u"服务器出错（HTTP 502）"_s);
        // Final: the service's own answer (under any status), a 4xx, a success, anything else.
        QVERIFY(!RetryPolicy::retryReason(TransferFailure::None, 503, true));
        QVERIFY(!RetryPolicy::retryReason(TransferFailure::None, 404, false));
        QVERIFY(!RetryPolicy::retryReason(TransferFailure::None, 200, false));
        QVERIFY(!RetryPolicy::retryReason(TransferFailure::Other, 0, false));
    }

    void controlCharactersAndEnvironmentKeyShape()
    {
        QCOMPARE(Console::printable(u"a\x1b[2Jb\ac\u009bd\re\nf\tg\x7f"_s),
            u"a\uFFFD[2Jb\uFFFDc\uFFFDd\uFFFDe\uFFFDf\uFFFDg\uFFFD"_s);
        QCOMPARE(Console::printable(u"line\nnext\ttab\x1b"_s, true), u"line\nnext\ttab\uFFFD"_s);
        QCOMPARE(Console::printable(u"中文 ok"_s), u"中文 ok"_s);
        QCOMPARE(Console::printableJson(u"{\"u\":\"a\u009bb\u007f\"}"_s), u"{\"u\":\"a\\u009bb\\u007f\"}"_s);

        QVERIFY(EnvironmentSession::problemWith(u"0123456789abcdefABCDEF0123456789"_s).isEmpty());
        QVERIFY(EnvironmentSession::problemWith(u" 0123456789abcdefABCDEF0123456789\n"_s).isEmpty());
        for (const QString &bad :
            { QString(), u"   "_s, u"0123456789abcdefABCDEF012345678"_s, u"0123456789abcdefABCDEF01234567890"_s,
                u"0123456789abcdef ABCDEF012345678"_s, u"0123456789abcdefABCDEF012345678é"_s }) {
            const QString problem = EnvironmentSession::problemWith(bad);
            QVERIFY2(problem.contains(u"QUILLO_USER_KEY"_s), qPrintable(bad));
            QVERIFY2(bad.trimmed().isEmpty() || !problem.contains(bad.trimmed().left(8)), qPrintable(problem));
        }
    }

    void accountChecksAndExitCodes()
    {
        QVERIFY(AccountCommands::validateEmail(u"first.last+tag_1%x@mail-host.example.com"_s));
        QVERIFY(!AccountCommands::validateEmail(u"a@b.abcdefg"_s));
        QVERIFY(!AccountCommands::validateEmail(u"a@b.c"_s));
        QVERIFY(!AccountCommands::validateEmail(u"a@bcom"_s));
        QVERIFY(!AccountCommands::validateEmail(u"a b@c.com"_s));
        QVERIFY(!AccountCommands::validateEmail(QString()));
        QVERIFY(AccountCommands::isLongEnough(u"123456"_s));
        QVERIFY(!AccountCommands::isLongEnough(u"12345"_s));

        QCOMPARE(ExitCode::forErrorRecord(QVariantMap { { u"code"_s, u"100"_s } }), ExitCode::Network);
        QCOMPARE(ExitCode::forErrorRecord(QVariantMap { { u"code"_s, u"1"_s } }), ExitCode::Network);
        QCOMPARE(ExitCode::forErrorRecord(QVariantMap { { u"code"_s, u"2"_s } }), ExitCode::Network);
        QCOMPARE(ExitCode::forErrorRecord(QVariantMap { { u"code"_s, u"1002"_s }, { u"message"_s, u"x"_s } }),
            ExitCode::Refused);
    }

    void coloursOnlyOnATerminalAndNeverWithNoColor()
    {
        qputenv("TERM", "xterm");
        qunsetenv("NO_COLOR");
        {
            BufferConsole terminal(true);
            terminal.console->error(u"出错了"_s);
            QCOMPARE(terminal.errText(), u"quillo: \x1b[31m出错了\x1b[0m\n"_s);
            BufferConsole pipe(false);
            pipe.console->error(u"出错了"_s);
            QCOMPARE(pipe.errText(), u"quillo: 出错了\n"_s);
        }
        qputenv("NO_COLOR", "1");
        QVERIFY(!Console::colourAllowedByEnvironment());
        {
            BufferConsole terminal(true);
            terminal.console->warning(u"小心"_s);
            QCOMPARE(terminal.errText(), u"quillo: 警告：小心\n"_s);
        }
        qputenv("NO_COLOR", "");
        QVERIFY(Console::colourAllowedByEnvironment());
        qunsetenv("NO_COLOR");
        qputenv("TERM", "dumb");
        QVERIFY(!Console::colourAllowedByEnvironment());
        qunsetenv("TERM");
    }
};

QUILLO_TEST_MAIN(TestCliRules)
#include "tst_clirules.moc"
