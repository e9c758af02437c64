#include "cli/UploadCommand.h"

#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/QSLoginModel.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"
#include "cli/PackageCommands.h"
#include "cli/ProgressReporter.h"
#include "cli/TerminalQr.h"
#include "upload/UploadFlow.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

QString usable(const QVariant &value)
{
    return DataCheck::isValidString(value) ? value.toString() : QString();
}

// Refused when the reply is the service's envelope with a refusal code (also under an HTTP error
// status); Network for everything else that kept the package from arriving.
int exitCodeFor(const UploadFlow::Result &result)
{
    if (result.kind == UploadFlow::Result::Kind::Refused)
        return ExitCode::Refused;
    const QVariantMap reply = result.reply.toMap();
    if (reply.contains(u"code"_s) && DataCheck::intValue(reply.value(u"code"_s)) >= 1)
        return ExitCode::Refused;
    return ExitCode::Network;
}

QString titleOf(const QVariantMap &record)
{
    return u"%1 %2 (%3)"_s.arg(record.value(AppInfoKey::appName).toString(),
        record.value(AppInfoKey::appVersion).toString(), record.value(AppInfoKey::appBuild).toString());
}

} // namespace

QString UploadCommand::help()
{
    return u"用法：quillo upload 安装包 [选项]\n"
           "\n"
           "把 .ipa 或 .apk 发布到 Quillo，和桌面程序的上传窗口走同一个流程：读取安装包、\n"
           "请服务准备上传、按服务的建议填好发布设置（以下选项可以改）、可改后缀时先检查后缀\n"
           "是否已被占用，然后上传。成功后在标准输出打印下载页面地址。\n"
           "\n"
           "发布设置（不给出时用服务建议的值，和桌面程序的表单一样）：\n"
           "  --name 名称                 应用名称（默认取自安装包）\n"
           "  --shortcut 后缀             下载页面地址的后缀；已发布过的应用不能更改\n"
           "  --password 密码             安装密码（这是下载时的密码，不是账户密码）\n"
           "  --publish-range all|invited 所有人可下载，或仅受邀测试者可下载（只用于 iOS）\n"
           "  --public / --no-public      发布到应用广场，或不发布\n"
           "  --notes 文字                更新说明\n"
           "  --notes-file 文件           从文件读取更新说明（- 表示标准输入）\n"
           "\n"
           "输出：\n"
           "  --json      成功后在标准输出打印一个 JSON 对象：downloadUrl、shortcut、name、\n"
           "              packageName、platform、version、build、size（字节）、fileSize\n"
           "  --qr        打印下载页面的二维码（使用 --json 时打印到标准错误）\n"
           "  --open      上传成功后在浏览器中打开下载页面（xdg-open）\n"
           "  -q, --quiet 不显示进度\n"
           "\n"
           "进度显示在标准错误上：终端上是进度条（速度和剩余时间），否则每完成十分之一打印一行。\n"
           "\n"
           "退出码：0 上传成功，2 用法错误，3 尚未登录，4 安装包不存在、无法读取或格式错误，\n"
           "5 服务拒绝（打印服务的消息，如后缀已被占用），6 网络故障，130 被中断。\n"_s;
}

std::optional<QString> UploadCommand::publishRangeValue(const QString &text)
{
    if (text == u"all"_s || text == u"2"_s)
        return u"2"_s;
    if (text == u"invited"_s || text == u"3"_s)
        return u"3"_s;
    return std::nullopt;
}

QVariantMap UploadCommand::settingsFor(const QVariantMap &record, int appType, const Choices &choices)
{
    QVariantMap settings = UploadFlow::defaultSettings(record);
    if (choices.name)
        settings.insert(SettingKey::name, *choices.name);
    if (choices.password)
        settings.insert(SettingKey::password, *choices.password);
    if (choices.isPublishToPublic)
        settings.insert(SettingKey::isPublishToPublic, *choices.isPublishToPublic);
    if (choices.description)
        settings.insert(SettingKey::description, *choices.description);
    if (choices.publishRange && appType == 1)
        settings.insert(SettingKey::publishRange, *choices.publishRange);
    if (choices.shortcut) {
        const QVariant canChange = record.value(AppInfoKey::urlCanbeModified);
        if (!canChange.isValid() || DataCheck::intValue(canChange) == 1)
            settings.insert(SettingKey::shortcut, *choices.shortcut);
    }
    return settings;
}

int UploadCommand::run(Console &console, const QStringList &arguments)
{
    const QString command = u"upload"_s;
    ArgParser parser({ { u"name"_s, true, {} }, { u"shortcut"_s, true, {} }, { u"password"_s, true, {} },
        { u"publish-range"_s, true, {} }, { u"public"_s, false, {} }, { u"no-public"_s, false, {} },
        { u"notes"_s, true, {} }, { u"notes-file"_s, true, {} }, { u"json"_s, false, {} }, { u"open"_s, false, {} },
        { u"qr"_s, false, {} }, { u"quiet"_s, false, u'q' } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, command, help(), &status)
        || !CommandSupport::expectPositional(console, parser, command, 1, u"安装包"_s, &status))
        return status;

    Choices choices;
    if (parser.isSet(u"name"_s))
        choices.name = parser.value(u"name"_s);
    if (parser.isSet(u"shortcut"_s))
        choices.shortcut = parser.value(u"shortcut"_s);
    if (parser.isSet(u"password"_s))
        choices.password = parser.value(u"password"_s);
    if (parser.isSet(u"publish-range"_s)) {
        choices.publishRange = publishRangeValue(parser.value(u"publish-range"_s));
        if (!choices.publishRange)
            return CommandSupport::usageError(console, command, u"--publish-range 应为 all 或 invited"_s);
    }
    if (parser.isSet(u"public"_s) && parser.isSet(u"no-public"_s))
        return CommandSupport::usageError(console, command, u"--public 和 --no-public 只能用一个"_s);
    if (parser.isSet(u"public"_s))
        choices.isPublishToPublic = u"2"_s;
    if (parser.isSet(u"no-public"_s))
        choices.isPublishToPublic = u"1"_s;
    if (parser.isSet(u"notes"_s) && parser.isSet(u"notes-file"_s))
        return CommandSupport::usageError(console, command, u"--notes 和 --notes-file 只能用一个"_s);
    if (parser.isSet(u"notes"_s))
        choices.description = parser.value(u"notes"_s);
    if (parser.isSet(u"notes-file"_s)) {
        const QString notesPath = parser.value(u"notes-file"_s);
        if (notesPath == u"-"_s) {
            choices.description = QString::fromUtf8(console.readAll());
        } else {
            QFile notes(notesPath);
            if (!notes.open(QIODevice::ReadOnly))
                return CommandSupport::usageError(
                    console, command, u"无法读取更新说明文件“%1”：%2"_s.arg(notesPath, notes.errorString()));
            choices.description = QString::fromUtf8(notes.readAll());
        }
    }
    const bool json = parser.isSet(u"json"_s);
    const bool quiet = parser.isSet(u"quiet"_s);

    if (!QSLoginModel::isLogged()) {
        console.error(u"尚未登录，请先运行 quillo login"_s);
        return ExitCode::NotLoggedIn;
    }
    const QString path = QFileInfo(parser.positional().constFirst()).absoluteFilePath();
    if (!PackageCommands::checkReadableFile(console, parser.positional().constFirst()))
        return ExitCode::BadPackage;
    if (!path.endsWith(u".ipa"_s) && !path.endsWith(u".apk"_s)) {
        console.error(u"只能上传 .ipa 或 .apk 安装包：%1"_s.arg(parser.positional().constFirst()));
        return ExitCode::BadPackage;
    }

    UploadFlow flow;
    QEventLoop loop;
    std::optional<int> result;
    std::unique_ptr<ProgressReporter> progress;
    auto finish = [&](int code) {
        if (result)
            return;
        result = code;
        if (progress)
            progress->finish();
        loop.quit();
    };
    flow.setSettingsSource([&flow, &choices] { return settingsFor(flow.record(), flow.appType(), choices); });

    QObject::connect(&flow, &UploadFlow::inspectionEnded, &loop, [&](InspectionFailure failure, const QString &) {
        if (failure == InspectionFailure::ToolMissing) {
            console.error(u"找不到 aapt（%1），无法读取 Android 安装包"_s.arg(Config::resourcePath(u"aapt"_s)));
            finish(ExitCode::Failure);
            return;
        }
        console.error(u"无法读取安装包“%1”：aapt 无法解析，请确认它是完整的 .apk 文件"_s.arg(path));
        finish(ExitCode::BadPackage);
    });

    QObject::connect(&flow, &UploadFlow::showApplicationInfo, &loop, [&] {
        // The form removes what the inspection unpacked once it has shown it; so do we.
        flow.deletePayloadDirectory();
        const QVariantMap &record = flow.record();
        // A package without an identifier cannot be prepared or published: no use sending it.
        if (!DataCheck::isValidString(record.value(AppInfoKey::packageName))) {
            console.error(u"无法读取安装包“%1”：找不到应用标识，请确认它是完整的 %2 文件"_s.arg(
                path, flow.appType() == 1 ? u".ipa"_s : u".apk"_s));
            finish(ExitCode::BadPackage);
            return;
        }
        const QVariant canChange = record.value(AppInfoKey::urlCanbeModified);
        if (!canChange.isValid()) {
            console.warning(u"服务未能准备这次上传，按默认设置继续"_s);
        } else if (DataCheck::intValue(canChange) != 1 && choices.shortcut
            && *choices.shortcut != usable(record.value(AppInfoKey::shortcutUrl))) {
            console.error(u"这个应用已经发布过，下载页面的后缀是“%1”，不能更改"_s.arg(
                usable(record.value(AppInfoKey::shortcutUrl))));
            finish(ExitCode::Refused);
            return;
        }
        if (choices.publishRange && flow.appType() != 1)
            console.warning(u"--publish-range 只用于 iOS 安装包，已忽略"_s);
        if (!quiet) {
            console.note(u"%1  %2  %3"_s.arg(titleOf(record), record.value(AppInfoKey::packageName).toString(),
                             record.value(AppInfoKey::fileSize).toString()),
                Console::Tone::Emphasis);
        }
        flow.uploadButtonClicked();
    });

    QObject::connect(&flow, &UploadFlow::shortcutTaken, &loop, [&](const QString &message) {
        console.error(message);
        console.note(u"请用 --shortcut 换一个后缀"_s);
        finish(ExitCode::Refused);
    });
    QObject::connect(&flow, &UploadFlow::uploadStarted, &loop, [&](quint64) {
        progress = std::make_unique<ProgressReporter>(console, ProgressReporter::modeFor(console, quiet));
    });
    QObject::connect(&flow, &UploadFlow::progressChanged, &loop, [&](double value) {
        if (progress && !result)
            progress->update(value);
    });
    QObject::connect(&flow, &UploadFlow::transferStatus, &loop, [&](double, qint64, const QString &text) {
        if (progress)
            progress->setStatus(text);
    });

    QObject::connect(&flow, &UploadFlow::uploadFinished, &loop, [&](const UploadFlow::Result &outcome) {
        if (progress)
            progress->finish();
        if (!outcome.success()) {
            console.error(outcome.message);
            finish(exitCodeFor(outcome));
            return;
        }
        const QVariantMap &record = flow.record();
        const QVariantMap settings = flow.currentSettings();
        const bool hasAddress = !outcome.appShortcutUrl.isEmpty();
        if (!hasAddress)
            console.warning(u"上传成功，但服务没有返回下载页面的地址"_s);
        if (json) {
            CommandSupport::printJson(console,
                QJsonObject { { u"downloadUrl"_s, hasAddress ? QJsonValue(outcome.downloadUrl) : QJsonValue() },
                    { u"shortcut"_s, outcome.appShortcutUrl },
                    { u"name"_s, settings.value(SettingKey::name).toString() },
                    { u"packageName"_s, record.value(AppInfoKey::packageName).toString() },
                    { u"platform"_s, flow.appType() == 1 ? u"ios"_s : u"android"_s },
                    { u"version"_s, record.value(AppInfoKey::appVersion).toString() },
                    { u"build"_s, record.value(AppInfoKey::appBuild).toString() },
                    { u"size"_s, qint64(flow.filesize()) },
                    { u"fileSize"_s, record.value(AppInfoKey::fileSize).toString() } });
        } else if (hasAddress) {
            console.out() << outcome.downloadUrl << '\n';
            console.out().flush();
        }
        if (!quiet)
            console.note(u"上传完成：%1"_s.arg(titleOf(record)), Console::Tone::Success);
        if (hasAddress && parser.isSet(u"qr"_s)) {
            QTextStream &stream = json ? console.err() : console.out();
            stream << TerminalQr::render(
                outcome.downloadUrl, json ? console.colourOnError() : console.colourOnOutput());
            stream.flush();
        }
        QString openError;
        if (hasAddress && parser.isSet(u"open"_s) && !console.openUrl(outcome.downloadUrl, &openError))
            console.warning(openError);
        finish(ExitCode::Success);
    });

    QObject::connect(&Interruption::instance(), &Interruption::requested, &loop, [&] {
        flow.discard();
        if (progress)
            progress->finish();
        console.error(u"已中断，没有完成上传"_s);
        finish(ExitCode::Interrupted);
    });

    if (Interruption::instance().isRequested())
        return ExitCode::Interrupted;
    if (!flow.ParsePackage(path)) {
        console.error(u"无法开始上传“%1”"_s.arg(path));
        return ExitCode::Failure;
    }
    if (!result)
        loop.exec();
    flow.discard();
    return *result;
}
