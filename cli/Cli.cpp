#include "cli/Cli.h"

#include "app/Config.h"
#include "cli/AccountCommands.h"
#include "cli/BuildCommands.h"
#include "cli/Console.h"
#include "cli/EnvironmentSession.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"
#include "cli/PackageCommands.h"
#include "cli/ToolCommands.h"
#include "cli/UploadCommand.h"

#include <QList>

using namespace Qt::StringLiterals;

namespace {

struct Command
{
    QString name;
    int (*run)(Console &, const QStringList &);
    QString (*help)();
};

const QList<Command> &commands()
{
    static const QList<Command> list = {
        { u"login"_s, &AccountCommands::login, &AccountCommands::loginHelp },
        { u"logout"_s, &AccountCommands::logout, &AccountCommands::logoutHelp },
        { u"whoami"_s, &AccountCommands::whoami, &AccountCommands::whoamiHelp },
        { u"register"_s, &AccountCommands::registerAccount, &AccountCommands::registerHelp },
        { u"forgot-password"_s, &AccountCommands::forgotPassword, &AccountCommands::forgotPasswordHelp },
        { u"upload"_s, &UploadCommand::run, &UploadCommand::help },
        { u"inspect"_s, &PackageCommands::inspect, &PackageCommands::inspectHelp },
        { u"archives"_s, &PackageCommands::archives, &PackageCommands::archivesHelp },
        { u"builds"_s, &BuildCommands::builds, &BuildCommands::buildsHelp },
        { u"export"_s, &PackageCommands::exportArchive, &PackageCommands::exportHelp },
        { u"devicelog"_s, &ToolCommands::deviceLog, &ToolCommands::deviceLogHelp },
        { u"check-update"_s, &ToolCommands::checkUpdate, &ToolCommands::checkUpdateHelp },
    };
    return list;
}

const Command *find(const QString &name)
{
    for (const Command &command : commands()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

// With QUILLO_USER_KEY, the command runs as that user and leaves the settings file alone.
int runCommand(Console &console, const Command &command, const QStringList &arguments)
{
    if (!EnvironmentSession::isRequested())
        return command.run(console, arguments);
    const QString key = EnvironmentSession::key();
    if (const QString problem = EnvironmentSession::problemWith(key); !problem.isEmpty()) {
        console.error(problem);
        return ExitCode::Usage;
    }
    EnvironmentSession::begin(key);
    const int status = command.run(console, arguments);
    EnvironmentSession::end();
    return status;
}

} // namespace

Cli::Cli(Console &console)
    : m_console(console)
{ }

QStringList Cli::commandNames()
{
    QStringList names;
    for (const Command &command : commands())
        names.append(command.name);
    return names;
}

QString Cli::versionText()
{
    return u"quillo %1\n"_s.arg(Config::applicationVersion());
}

QString Cli::usage()
{
    return u"用法：quillo <命令> [选项]\n"
           "\n"
           "把 iOS 和 Android 测试包发布到 Quillo。与桌面程序共用登录状态、设置和服务地址。\n"
           "\n"
           "账户：\n"
           "  login             登录（密码不回显；也可用 --password-stdin 或 QUILLO_PASSWORD）\n"
           "  logout            退出登录\n"
           "  whoami            显示当前登录的账户\n"
           "  register          注册新账户\n"
           "  forgot-password   发送重设密码的邮件\n"
           "\n"
           "发布：\n"
           "  upload 安装包      上传 .ipa 或 .apk，打印下载页面地址\n"
           "  inspect 安装包     显示安装包的应用信息\n"
           "  archives          列出最近的 Xcode 归档，最新的在前\n"
           "  builds            列出最近的构建（归档和构建文件夹中的安装包）；--add/--remove 文件夹\n"
           "  export 归档        从 Xcode 归档导出 .ipa\n"
           "\n"
           "其他：\n"
           "  devicelog         输出已连接 iOS 设备的实时日志\n"
           "  check-update      检查桌面程序的新版本\n"
           "  help [命令]        显示帮助；每个命令也接受 -h/--help\n"
           "  --version         显示版本\n"
           "\n"
           "结果（地址、JSON、列表）写到标准输出，消息、提示和进度写到标准错误。\n"
           "\n"
           "退出码：\n"
           "  0    成功\n"
           "  1    其他错误（导出失败、缺少工具、文件无法写入）\n"
           "  2    用法错误，或输入的值不合要求\n"
           "  3    尚未登录\n"
           "  4    安装包不存在、无法读取或格式错误\n"
           "  5    服务拒绝了请求（打印服务返回的消息）\n"
           "  6    网络故障：连不上服务，或收到的不是服务的回复\n"
           "  130  被中断（Ctrl-C）\n"
           "\n"
           "环境变量：\n"
           "  QUILLO_SERVICE_HOST    服务地址 host[:port]，或 http(s)://host[:port]（默认 %1）\n"
           "  QUILLO_PASSWORD        login 和 register 使用的密码\n"
           "  QUILLO_USER_KEY        账户的会话密钥（quillo login --print-key 打印）：不登录、不读写\n"
           "                         设置文件，以这个账户运行每个命令。它是凭据，不会被打印\n"
           "  QUILLO_SETTINGS_FILE   登录状态和设置的存放位置（与桌面程序相同）\n"
           "  QUILLO_WORK_DIR        解包和导出用的私有文件夹\n"
           "  QUILLO_RESOURCE_DIR    aapt 和 deviceconsole 所在的文件夹\n"
           "  QUILLO_XCODEBUILD      导出 .ipa 的工具\n"
           "  NO_COLOR               设置后不使用颜色\n"
           "  QT_LOGGING_RULES       诊断日志，如 \"quillo.*.debug=true\"\n"_s.arg(Config::serviceHost());
}

int Cli::run(const QStringList &arguments)
{
    Interruption::instance().reset();
    const int status = [&] {
        if (arguments.isEmpty()) {
            m_console.err() << usage();
            return ExitCode::Usage;
        }
        const QString first = arguments.constFirst();
        if (first == u"--version"_s || first == u"-V"_s) {
            m_console.out() << versionText();
            return ExitCode::Success;
        }
        if (first == u"--help"_s || first == u"-h"_s || first == u"help"_s) {
            if (first == u"help"_s && arguments.size() > 1) {
                const Command *command = find(arguments.at(1));
                if (!command) {
                    m_console.error(u"没有“%1”这个命令"_s.arg(arguments.at(1)));
                    return ExitCode::Usage;
                }
                m_console.out() << command->help();
                return ExitCode::Success;
            }
            m_console.out() << usage();
            return ExitCode::Success;
        }
        const Command *command = find(first);
        if (!command) {
            m_console.error(first.startsWith(u'-') ? u"未知选项“%1”"_s.arg(first) : u"没有“%1”这个命令"_s.arg(first));
            m_console.note(u"运行 quillo --help 查看命令列表"_s);
            return ExitCode::Usage;
        }
        return runCommand(m_console, *command, arguments.mid(1));
    }();
    m_console.flush();
    return status;
}
