#include "cli/BuildCommands.h"

#include "app/Config.h"
#include "builds/BuildFolders.h"
#include "builds/PackageFinder.h"
#include "builds/PackageScan.h"
#include "builds/RecentBuild.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"
#include "inspect/ArchiveScanner.h"
#include "inspect/PackageFormat.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

// Names and labels come from packages: no control character reaches the terminal.
QString printable(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QChar(0xFFFD);
    }
    return text;
}

QString padded(const QString &text, int width)
{
    return text + QString(qMax(0, width - Console::displayWidth(text)), u' ');
}

// Runs the scan on a thread of its own so that Ctrl-C can stop it.
std::optional<PackageScan::Result> scanPackages(const QStringList &folders)
{
    std::atomic<bool> cancel { false };
    PackageScan::Result result;
    QEventLoop loop;
    QThread *thread = QThread::create([&] { result = PackageScan::run(folders, PackageScan::Options(), &cancel); });
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    QObject::connect(&Interruption::instance(), &Interruption::requested, &loop, [&] { cancel = true; });
    thread->start();
    if (!thread->isFinished())
        loop.exec();
    thread->wait();
    delete thread;
    if (cancel || Interruption::instance().isRequested())
        return std::nullopt;
    return result;
}

void reportProblems(Console &console, const PackageScan::Result &result)
{
    for (const PackageScan::FolderState &state : result.folders) {
        if (!state.readable)
            console.warning(u"无法读取构建文件夹“%1”：%2"_s.arg(printable(state.folder), state.problem));
        else if (state.truncated)
            console.warning(u"构建文件夹“%1”中的文件太多，只列出了一部分"_s.arg(printable(state.folder)));
    }
    for (const PackageScan::Failure &failure : result.failures)
        console.warning(u"无法读取安装包“%1”：%2"_s.arg(printable(failure.path), printable(failure.problem)));
    for (const QString &path : result.unsettled)
        console.note(u"安装包仍在写入，没有列出：%1"_s.arg(printable(path)));
}

QJsonArray asJson(const QList<RecentBuild> &builds)
{
    QJsonArray list;
    for (const RecentBuild &build : builds) {
        list.append(QJsonObject {
            { u"kind"_s, build.kindName() },
            { u"path"_s, build.path() },
            { u"platform"_s, build.platform() },
            { u"packageName"_s, build.identifier() },
            { u"appName"_s, build.appName() },
            { u"version"_s, build.version() },
            { u"build"_s, build.build() },
            { u"date"_s, build.date().toUTC().toString(Qt::ISODate) },
        });
    }
    return list;
}

void printTable(Console &console, const QList<RecentBuild> &builds)
{
    QList<QStringList> rows;
    for (const RecentBuild &build : builds) {
        const QString kind = build.isArchive() ? u"iOS 归档"_s : build.platform() == u"ios"_s ? u"iOS"_s : u"Android"_s;
        rows.append({ kind, printable(u"%1 %2 (%3)"_s.arg(build.appName(), build.version(), build.build())),
            printable(build.identifier()), PackageFormat::date(build.date()), printable(build.path()) });
    }
    QList<int> widths(5, 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (int column = 0; column < 4; ++column)
            widths[column] = qMax(widths[column], Console::displayWidth(row.at(column)));
    }
    QTextStream &out = console.out();
    for (const QStringList &row : std::as_const(rows)) {
        for (int column = 0; column < 4; ++column)
            out << padded(row.at(column), widths.at(column)) << u"  "_s;
        out << row.at(4) << '\n';
    }
    out.flush();
}

int addFolder(Console &console, const QString &given)
{
    const QString folder = BuildFolders::normalized(given);
    if (!QFileInfo(folder).isDir()) {
        console.error(u"找不到文件夹“%1”"_s.arg(printable(given)));
        return ExitCode::Usage;
    }
    switch (BuildFolders::add(folder)) {
    case BuildFolders::Change::Unchanged:
        console.note(u"“%1”已在构建文件夹列表中"_s.arg(printable(folder)));
        return ExitCode::Success;
    case BuildFolders::Change::NotWritten:
        console.error(u"无法保存设置（%1）"_s.arg(Config::settingsFile()));
        return ExitCode::Failure;
    case BuildFolders::Change::Changed:
        break;
    }
    console.note(u"已加入构建文件夹：%1"_s.arg(printable(folder)), Console::Tone::Success);
    const QString problem = PackageFinder::folderProblem(folder);
    if (!problem.isEmpty())
        console.warning(problem);
    return ExitCode::Success;
}

int removeFolder(Console &console, const QString &given)
{
    const QString folder = BuildFolders::normalized(given);
    switch (BuildFolders::remove(folder)) {
    case BuildFolders::Change::Unchanged:
        console.error(u"构建文件夹列表中没有“%1”"_s.arg(printable(folder)));
        return ExitCode::Usage;
    case BuildFolders::Change::NotWritten:
        console.error(u"无法保存设置（%1）"_s.arg(Config::settingsFile()));
        return ExitCode::Failure;
    case BuildFolders::Change::Changed:
        break;
    }
    console.note(u"已移除构建文件夹：%1"_s.arg(printable(folder)), Console::Tone::Success);
    return ExitCode::Success;
}

} // namespace

QString BuildCommands::buildsHelp()
{
    return u"用法：quillo builds [--json]\n"
           "      quillo builds --add 文件夹\n"
           "      quillo builds --remove 文件夹\n"
           "\n"
           "列出最近的构建，最新的在前，和桌面程序的最近构建列表相同：归档文件夹中的 Xcode 归档，\n"
           "以及构建文件夹（Gradle 项目、CI 输出文件夹）中的 .apk 和 .ipa 安装包（最多 8 层深，\n"
           "不进入隐藏文件夹和 intermediates、node_modules 等构建过程的文件夹）。安装包读取一次后\n"
           "记在缓存里，之后只读取新的或改变了的安装包。仍在写入的安装包不列出。\n"
           "\n"
           "  --add 文件夹      把文件夹加入构建文件夹列表（与偏好设置“高级”中的列表相同）\n"
           "  --remove 文件夹   从构建文件夹列表中移除文件夹\n"
           "  --json            以一个 JSON 数组输出，每个构建一个对象：kind（archive 或 package）、\n"
           "                    path、platform、packageName、appName、version、build、date（ISO 8601）\n"
           "\n"
           "退出码：0 成功，1 设置无法保存，2 用法错误或文件夹不存在，130 被中断。\n"_s;
}

int BuildCommands::builds(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { u"json"_s, false, {} }, { u"add"_s, true, {} }, { u"remove"_s, true, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"builds"_s, buildsHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"builds"_s, 0, QString(), &status))
        return status;
    const int actions = int(parser.isSet(u"add"_s)) + int(parser.isSet(u"remove"_s)) + int(parser.isSet(u"json"_s));
    if (actions > 1)
        return CommandSupport::usageError(console, u"builds"_s, u"--add、--remove 和 --json 只能用其中一个"_s);
    if (parser.isSet(u"add"_s))
        return addFolder(console, parser.value(u"add"_s));
    if (parser.isSet(u"remove"_s))
        return removeFolder(console, parser.value(u"remove"_s));

    const QList<QDArchiveModel> archives = ArchiveScanner::scan(Config::archivesDir()).sortedRecentlyBuild;
    const std::optional<PackageScan::Result> scan = scanPackages(BuildFolders::folders());
    if (!scan) {
        console.error(u"已中断"_s);
        return ExitCode::Interrupted;
    }
    reportProblems(console, *scan);
    const QList<RecentBuild> builds = RecentBuild::merge(archives, scan->packages);
    if (parser.isSet(u"json"_s)) {
        console.out() << QString::fromUtf8(QJsonDocument(asJson(builds)).toJson(QJsonDocument::Compact)) << '\n';
        console.out().flush();
        return ExitCode::Success;
    }
    if (builds.isEmpty()) {
        console.note(u"没有找到最近的构建"_s);
        return ExitCode::Success;
    }
    printTable(console, builds);
    return ExitCode::Success;
}
