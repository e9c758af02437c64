#include "cli/ToolCommands.h"

#include "api/CloudClient.h"
#include "api/NewestVersion.h"
#include "app/Config.h"
#include "app/DataCheck.h"
#include "cli/ApiCall.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"
#include "devicelog/DeviceLogReader.h"

#include <QEventLoop>
#include <QJsonObject>

#include <optional>

using namespace Qt::StringLiterals;

// ---- devicelog ----

QString ToolCommands::deviceLogHelp()
{
    return u"用法：quillo devicelog [--grep 文字]\n"
           "\n"
           "运行资源文件夹中的 deviceconsole，把已连接 iOS 设备的实时日志逐条输出到标准输出，\n"
           "格式与桌面程序的设备日志窗口相同（时间、设备、进程 → 级别和消息）。按 Ctrl-C 结束。\n"
           "\n"
           "  --grep 文字   只输出包含这段文字的日志（区分大小写）\n"
           "\n"
           "退出码：0 日志结束，1 工具无法启动、未安装或没有连接设备，130 被中断。\n"_s;
}

namespace {

// Says why the device log tool ended, when that is a failure; the command's exit code.
int toolEnded(Console &console, DeviceLogReader::Outcome outcome, int exitCode, const QString &tool)
{
    switch (outcome) {
    case DeviceLogReader::Outcome::FailedToStart:
        console.error(u"无法启动设备日志工具（%1）"_s.arg(tool));
        return ExitCode::Failure;
    case DeviceLogReader::Outcome::ToolNotInstalled:
        console.error(u"没有安装读取设备日志的工具 idevicesyslog（软件包 libimobiledevice-utils）"_s);
        return ExitCode::Failure;
    case DeviceLogReader::Outcome::NoDevice:
        console.error(u"没有连接 iOS 设备"_s);
        return ExitCode::Failure;
    case DeviceLogReader::Outcome::Crashed:
        console.error(u"设备日志工具意外退出"_s);
        return ExitCode::Failure;
    case DeviceLogReader::Outcome::Ended:
        break;
    }
    if (exitCode == 0)
        return ExitCode::Success;
    console.error(u"设备日志工具以退出码 %1 结束"_s.arg(exitCode));
    return ExitCode::Failure;
}

} // namespace

int ToolCommands::deviceLog(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { u"grep"_s, true, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"devicelog"_s, deviceLogHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"devicelog"_s, 0, QString(), &status))
        return status;
    const QString search = parser.value(u"grep"_s);
    const bool searching = DataCheck::isValidString(search);
    const QString tool = Config::resourcePath(u"deviceconsole"_s);

    DeviceLogReader reader;
    QEventLoop loop;
    std::optional<int> result;
    QObject::connect(&reader, &DeviceLogReader::entriesArrived, &loop, [&](const QStringList &entries) {
        QTextStream &out = console.out();
        for (const QString &entry : entries) {
            if (searching && !entry.contains(search))
                continue;
            out << Console::printable(entry, true);
            if (!entry.endsWith(u'\n'))
                out << '\n';
        }
        out.flush();
        // The reader went away (quillo devicelog | head): stop, and the tool with us.
        if (out.status() == QTextStream::WriteFailed && !result) {
            reader.stop();
            result = ExitCode::Success;
            loop.quit();
        }
    });
    QObject::connect(&reader, &DeviceLogReader::finished, &loop, [&](DeviceLogReader::Outcome outcome, int exitCode) {
        result = toolEnded(console, outcome, exitCode, tool);
        loop.quit();
    });
    QObject::connect(&Interruption::instance(), &Interruption::requested, &loop, [&] {
        reader.stop();
        result = ExitCode::Interrupted;
        loop.quit();
    });
    reader.start(tool);
    if (!result && !Interruption::instance().isRequested())
        loop.exec();
    reader.stop();
    return result.value_or(ExitCode::Interrupted);
}

// ---- check-update ----

QString ToolCommands::checkUpdateHelp()
{
    return u"用法：quillo check-update [--open] [--json]\n"
           "\n"
           "向服务询问桌面程序是否有新版本（当前版本 %1）。有新版本时打印下载地址。\n"
           "\n"
           "  --open   有新版本时在浏览器中打开下载地址（xdg-open）\n"
           "  --json   以一个 JSON 对象输出：current、newer、url\n"
           "\n"
           "退出码：0 已检查（无论有无新版本），5 服务拒绝，6 网络故障。\n"_s.arg(Config::applicationVersion());
}

int ToolCommands::checkUpdate(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { u"open"_s, false, {} }, { u"json"_s, false, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"check-update"_s, checkUpdateHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"check-update"_s, 0, QString(), &status))
        return status;
    const QString version = Config::applicationVersion();
    ApiCall call;
    call.client().checkNewestVersion(version, &call, ApiCall::kSuccess, ApiCall::kFailure);
    if (!call.wait()) {
        if (!call.wasInterrupted())
            console.error(call.errorMessage(NewestVersion::kFallbackErrorText));
        return call.exitCode();
    }
    const bool json = parser.isSet(u"json"_s);
    const NewestVersion::Reply reply = NewestVersion::read(call.data());
    QJsonObject object { { u"current"_s, version }, { u"newer"_s, false }, { u"url"_s, QJsonValue::Null } };
    // A reply that names no address is silent, as in the desktop program.
    if (reply.kind == NewestVersion::Reply::Kind::Newer) {
        object[u"newer"_s] = true;
        object[u"url"_s] = reply.url;
        if (json) {
            CommandSupport::printJson(console, object);
        } else {
            console.note(u"发现新版本，下载地址："_s, Console::Tone::Success);
            console.out() << Console::printable(reply.url) << '\n';
            console.out().flush();
        }
        QString error;
        if (parser.isSet(u"open"_s) && !console.openUrl(reply.url, &error))
            console.warning(error);
        return ExitCode::Success;
    }
    if (reply.kind == NewestVersion::Reply::Kind::UpToDate && !json)
        console.note(u"当前已是最新版本！"_s);
    if (json)
        CommandSupport::printJson(console, object);
    return ExitCode::Success;
}
