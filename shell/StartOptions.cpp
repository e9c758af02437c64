#include "shell/StartOptions.h"

#include "app/Config.h"

using namespace Qt::StringLiterals;

StartOptions StartOptions::parse(const QStringList &arguments)
{
    StartOptions options;
    for (const QString &argument : arguments.mid(1)) {
        if (argument == u"--hidden"_s)
            options.hidden = true;
        else if (argument == u"--help"_s || argument == u"-h"_s)
            options.help = true;
        else if (argument == u"--version"_s)
            options.version = true;
        else
            options.ignored.append(argument);
    }
    return options;
}

QString StartOptions::versionText()
{
    return u"quillo-desktop %1\n"_s.arg(Config::applicationVersion());
}

QString StartOptions::helpText()
{
    return u"用法：quillo-desktop [选项]\n"
           "\n"
           "Quillo 的桌面程序：常驻状态栏（托盘），监视 Xcode 归档文件夹并提示新的归档，\n"
           "从归档导出 .ipa，接受拖入的 .ipa 和 .apk，显示发布设置，上传并打开下载页面。\n"
           "每个用户只运行一个：再次启动时，已在运行的程序把主窗口带到前面。\n"
           "关闭主窗口后程序留在状态栏，用状态菜单中的“退出”结束。\n"
           "\n"
           "选项：\n"
           "  --hidden     只在状态栏启动，不打开主窗口（登录时启动使用；没有托盘时仍打开主窗口）\n"
           "  -h, --help   显示帮助\n"
           "  --version    显示版本\n"
           "\n"
           "“偏好设置 › 通用”中的“登录时启动 Quillo”在 $XDG_CONFIG_HOME/autostart/\n"
           "（通常是 ~/.config/autostart/）中写入或删除 quillo.desktop，它以 --hidden 启动本程序。\n"
           "\n"
           "环境变量：\n"
           "  QUILLO_SERVICE_HOST    服务地址 host[:port]，或 http(s)://host[:port]（默认 %1）\n"
           "  QUILLO_STATUS_ITEM     tray 或 menubar：状态菜单放在托盘中，还是主窗口的菜单栏中\n"
           "  QUILLO_SETTINGS_FILE   登录状态和设置的存放位置（与命令行程序 quillo 相同）\n"
           "  QUILLO_WORK_DIR        解包和导出用的私有文件夹\n"
           "  QUILLO_RESOURCE_DIR    aapt 和 deviceconsole 所在的文件夹\n"
           "  QUILLO_XCODEBUILD      导出 .ipa 的工具\n"
           "  QT_LOGGING_RULES       诊断日志，如 \"quillo.*.debug=true\"\n"_s.arg(Config::serviceHost());
}
