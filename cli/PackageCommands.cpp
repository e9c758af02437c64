#include "cli/PackageCommands.h"

#include "app/ChildProcess.h"
#include "app/Config.h"
#include "inspect/ArchiveScanner.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"
#include "inspect/ExportRunner.h"
#include "inspect/PackageFormat.h"
#include "inspect/PackageInspector.h"
#include "inspect/QDArchiveModel.h"
#include "upload/AppInfoKeys.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>

#include <optional>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// While it lives, what child processes write to standard output goes to standard error, so that
// the command's own output (a path, JSON) stays alone on standard output.
class ChildOutputToStderr final
{
public:
    explicit ChildOutputToStderr(Console &console)
    {
        if (!console.isProcessConsole())
            return;
        console.flush();
        m_saved = ::dup(STDOUT_FILENO);
        if (m_saved >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            ::close(m_saved);
            m_saved = -1;
        }
    }
    ~ChildOutputToStderr()
    {
        if (m_saved < 0)
            return;
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    ChildOutputToStderr(const ChildOutputToStderr &) = delete;
    ChildOutputToStderr &operator=(const ChildOutputToStderr &) = delete;

private:
    int m_saved = -1;
};

// A field of the record as printed: it comes from the package.
QString text(const QVariantMap &record, const QString &key)
{
    return Console::printable(record.value(key).toString());
}

} // namespace

bool PackageCommands::checkReadableFile(Console &console, const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        console.error(u"找不到安装包“%1”"_s.arg(path));
        return false;
    }
    if (!info.isFile()) {
        console.error(u"“%1”不是文件"_s.arg(path));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        console.error(u"无法读取安装包“%1”：%2"_s.arg(path, file.errorString()));
        return false;
    }
    return true;
}

// ---- inspect ----

bool PackageCommands::writeIcon(Console &console, const QString &path, const QByteArray &png)
{
    if (png.isEmpty()) {
        console.note(u"安装包中没有可显示的图标，未写入“%1”"_s.arg(path));
        return true;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size() || !file.commit()) {
        console.error(u"无法写入图标“%1”：%2"_s.arg(path, file.errorString()));
        return false;
    }
    return true;
}

QString PackageCommands::inspectHelp()
{
    return u"用法：quillo inspect 安装包 [--json] [--icon 文件]\n"
           "\n"
           "读出 .ipa 或 .apk 的应用信息：名称、标识、版本和构建号、大小、日期。\n"
           ".ipa 读取其中的 Info.plist，.apk 由 aapt 读取。除 --icon 指定的文件外不写入任何文件。\n"
           "\n"
           "  --json        以一个 JSON 对象输出：platform、appType（1 iOS，2 Android）、\n"
           "                appName、packageName、appVersion、appBuild、fileSize、createdDate、iconPath、hasIcon\n"
           "  --icon 文件   把应用图标按原尺寸写成普通 PNG 文件（已有的文件会被替换）；\n"
           "                安装包没有可显示的图标时不写文件，退出码仍为 0\n"
           "\n"
           "退出码：0 成功，1 缺少 aapt，4 安装包不存在、无法读取或不是可识别的安装包。\n"_s;
}

int PackageCommands::inspect(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { u"json"_s, false, {} }, { u"icon"_s, true, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"inspect"_s, inspectHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"inspect"_s, 1, u"安装包"_s, &status))
        return status;
    const QString path = parser.positional().constFirst();
    if (!checkReadableFile(console, path))
        return ExitCode::BadPackage;
    const bool ios = path.endsWith(u".ipa"_s, Qt::CaseInsensitive);
    if (!ios && !path.endsWith(u".apk"_s, Qt::CaseInsensitive)) {
        console.error(u"只能读取 .ipa 或 .apk 安装包：%1"_s.arg(path));
        return ExitCode::BadPackage;
    }

    const PackageInspector::Identity identity = PackageInspector::inspect(path);
    if (!identity.ok) {
        if (identity.failure == InspectionFailure::ToolMissing) {
            console.error(u"找不到 aapt（%1），无法读取 Android 安装包"_s.arg(Config::resourcePath(u"aapt"_s)));
            return ExitCode::Failure;
        }
        console.error(ios ? u"无法读取安装包“%1”：不是完整的 .ipa 文件（找不到可读的 Info.plist）"_s.arg(path)
                          : u"无法读取安装包“%1”：aapt 无法解析，请确认它是完整的 .apk 文件"_s.arg(path));
        return ExitCode::BadPackage;
    }

    if (parser.isSet(u"icon"_s) && !writeIcon(console, parser.value(u"icon"_s), identity.icon))
        return ExitCode::Failure;
    const QVariantMap &record = identity.appInfo;
    if (parser.isSet(u"json"_s)) {
        QJsonObject object { { u"platform"_s, identity.appType == 1 ? u"ios"_s : u"android"_s },
            { u"appType"_s, identity.appType }, { u"hasIcon"_s, !identity.icon.isEmpty() } };
        for (const QString &key : { AppInfoKey::appName, AppInfoKey::packageName, AppInfoKey::appVersion,
                 AppInfoKey::appBuild, AppInfoKey::fileSize, AppInfoKey::createdDate, AppInfoKey::iconPath })
            object.insert(key, text(record, key));
        CommandSupport::printJson(console, object);
        return ExitCode::Success;
    }
    QTextStream &out = console.out();
    out << u"名称  "_s << text(record, AppInfoKey::appName) << '\n'
        << u"标识  "_s << text(record, AppInfoKey::packageName) << '\n'
        << u"版本  "_s << u"%1 (%2)"_s.arg(text(record, AppInfoKey::appVersion), text(record, AppInfoKey::appBuild))
        << '\n'
        << u"大小  "_s << text(record, AppInfoKey::fileSize) << '\n'
        << u"日期  "_s << text(record, AppInfoKey::createdDate) << '\n'
        << u"平台  "_s << (identity.appType == 1 ? u"iOS"_s : u"Android"_s) << '\n';
    out.flush();
    return ExitCode::Success;
}

// ---- archives ----

QString PackageCommands::archivesHelp()
{
    return u"用法：quillo archives [--limit 数量] [--json]\n"
           "\n"
           "列出归档文件夹（~/Library/Developer/Xcode/Archives）下的 Xcode 归档，最新的在前，\n"
           "和桌面程序的最近构建列表相同。\n"
           "\n"
           "  --limit 数量   最多列出这么多个\n"
           "  --json         以一个 JSON 对象输出：archivesDir 和 archives（path、appName、version、\n"
           "                 build、identifier、date、modified、iconPath）\n"_s;
}

int PackageCommands::archives(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { u"json"_s, false, {} }, { u"limit"_s, true, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"archives"_s, archivesHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"archives"_s, 0, QString(), &status))
        return status;
    qsizetype limit = -1;
    if (parser.isSet(u"limit"_s)) {
        bool ok = false;
        limit = parser.value(u"limit"_s).toInt(&ok);
        if (!ok || limit < 1)
            return CommandSupport::usageError(console, u"archives"_s, u"--limit 应为正整数"_s);
    }
    const QString folder = Config::archivesDir();
    QList<QDArchiveModel> archives = ArchiveScanner::scan(folder).sortedRecentlyBuild;
    if (limit > 0 && archives.size() > limit)
        archives.resize(limit);

    if (parser.isSet(u"json"_s)) {
        QJsonArray list;
        for (const QDArchiveModel &archive : archives) {
            list.append(QJsonObject {
                { u"path"_s, archive.archivePath() },
                { u"appName"_s, archive.appName().value_or(QString()) },
                { u"version"_s, archive.version().value_or(QString()) },
                { u"build"_s, archive.build().value_or(QString()) },
                { u"identifier"_s, archive.identifier().value_or(QString()) },
                { u"date"_s, PackageFormat::date(archive.lastModifiedDate()) },
                { u"modified"_s, archive.lastModifiedDate().toUTC().toString(Qt::ISODate) },
                { u"iconPath"_s, archive.iconPath().value_or(QString()) },
            });
        }
        CommandSupport::printJson(console, QJsonObject { { u"archivesDir"_s, folder }, { u"archives"_s, list } });
        return ExitCode::Success;
    }
    if (archives.isEmpty()) {
        console.note(u"没有找到归档（%1）"_s.arg(folder));
        return ExitCode::Success;
    }
    QTextStream &out = console.out();
    for (const QDArchiveModel &archive : archives) {
        const QString title = Console::printable(u"%1 %2 (%3)"_s.arg(archive.appName().value_or(QString()),
            archive.version().value_or(QString()), archive.build().value_or(QString())));
        out << console.paint(title, Console::Tone::Emphasis, false) << u"  "_s
            << Console::printable(archive.identifier().value_or(QString())) << u"  "_s
            << PackageFormat::date(archive.lastModifiedDate()) << '\n'
            << u"    "_s << Console::printable(archive.archivePath()) << '\n';
    }
    out.flush();
    return ExitCode::Success;
}

// ---- export ----

namespace {

// "<current folder>/<archive name without .xcarchive>.ipa".
QString defaultExportName(const QFileInfo &archive)
{
    QString name = QFileInfo(QDir::cleanPath(archive.absoluteFilePath())).fileName();
    if (name.endsWith(u".xcarchive"_s, Qt::CaseInsensitive))
        name.chop(int(QStringView(u".xcarchive").size()));
    if (name.isEmpty())
        name = u"export"_s;
    return QDir::current().absoluteFilePath(name + u".ipa"_s);
}

// Runs the export and waits for its end; the exported package's path in *package on success.
int runExport(
    Console &console, ExportRunner &runner, const QString &archivePath, const QString &profile, QString *package)
{
    QEventLoop loop;
    std::optional<int> result;
    QObject::connect(&runner, &ExportRunner::finished, &loop, [&](bool exported, const QString &path) {
        if (!exported) {
            console.error(u"生成ipa失败，请检查证书及签名文件是否正确!"_s);
            result = ExitCode::Failure;
        } else {
            *package = path;
            result = ExitCode::Success;
        }
        loop.quit();
    });
    QObject::connect(&Interruption::instance(), &Interruption::requested, &loop, [&] {
        runner.cancel();
        console.error(u"已中断"_s);
        result = ExitCode::Interrupted;
        loop.quit();
    });
    {
        const ChildOutputToStderr redirect(console);
        runner.start(archivePath, profile);
    }
    if (!result && !Interruption::instance().isRequested())
        loop.exec();
    if (!result) {
        runner.cancel();
        result = ExitCode::Interrupted;
    }
    // An interrupted tool is ended, and its folder removed, before the command returns.
    if (*result == ExitCode::Interrupted)
        ChildProcess::waitForEnding(ChildProcess::kDefaultGrace * 2);
    return *result;
}

} // namespace

QString PackageCommands::exportHelp()
{
    return u"用法：quillo export 归档 [--output 文件] [--json]\n"
           "\n"
           "用 xcodebuild（环境变量 QUILLO_XCODEBUILD 可指定）按归档中应用内嵌的描述文件导出 .ipa，\n"
           "打印导出的安装包路径。安装包默认写到当前文件夹，以归档命名（App 2024-03-05, 14.07.xcarchive\n"
           "导出为 App 2024-03-05, 14.07.ipa）；导出时用的私有文件夹在命令结束时删除。\n"
           "\n"
           "  -o, --output 文件   把导出的安装包写到这里（文件不能已存在）\n"
           "  --json              以一个 JSON 对象输出：package、archive、profile\n"
           "\n"
           "退出码：0 成功，1 导出失败，2 归档不存在或输出文件已存在。\n"_s;
}

int PackageCommands::exportArchive(Console &console, const QStringList &arguments)
{
    const QString command = u"export"_s;
    ArgParser parser({ { u"output"_s, true, u'o' }, { u"json"_s, false, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, command, exportHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, command, 1, u"归档"_s, &status))
        return status;
    const QFileInfo archiveInfo(parser.positional().constFirst());
    if (!archiveInfo.isDir()) {
        console.error(u"找不到归档“%1”"_s.arg(parser.positional().constFirst()));
        return ExitCode::Usage;
    }
    // The export's own folder goes with the command: the package is written where the user asked,
    // or into the current folder.
    const QString wanted = parser.isSet(u"output"_s) ? parser.value(u"output"_s) : defaultExportName(archiveInfo);
    const QFileInfo outputInfo(wanted);
    if (outputInfo.exists() || outputInfo.isSymLink()) {
        console.error(parser.isSet(u"output"_s) ? u"“%1”已存在"_s.arg(wanted)
                                                : u"“%1”已存在，请先移走它或用 --output 指定另一个文件"_s.arg(wanted));
        return ExitCode::Usage;
    }
    const QString output = outputInfo.absoluteFilePath();

    const QDArchiveModel archive(archiveInfo.absoluteFilePath());
    const QString profile = archive.provisionFileName().value_or(QString());
    console.note(u"正在导出 %1 …"_s.arg(archive.archivePath()));

    ExportRunner runner; // the package lives in its folder until the runner goes
    QString package;
    const int exported = runExport(console, runner, archive.archivePath(), profile, &package);
    if (exported != ExitCode::Success)
        return exported;
    if (!QFile::copy(package, output)) {
        console.error(u"无法写入“%1”"_s.arg(output));
        return ExitCode::Failure;
    }
    package = output;
    if (parser.isSet(u"json"_s)) {
        CommandSupport::printJson(console,
            QJsonObject {
                { u"package"_s, package }, { u"archive"_s, archive.archivePath() }, { u"profile"_s, profile } });
    } else {
        console.out() << package << '\n';
        console.out().flush();
    }
    return ExitCode::Success;
}
