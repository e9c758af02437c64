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
#include <QRegularExpression>

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
           "重试：\n"
           "  --retries 次数          网络故障后重试的次数（默认 2，0 表示不重试）\n"
           "  --retry-max-wait 秒     两次尝试之间最长等待的秒数（默认 30）\n"
           "\n"
           "准备上传、检查后缀和上传各自在网络故障后重试：连接被拒绝或中断、长时间没有进展、\n"
           "超时，以及服务器出错（HTTP 5xx）而回复不是服务的应答时。等待时间为 1、2、4 … 秒，\n"
           "不超过 --retry-max-wait，并随机缩短至多一半。服务拒绝（显示服务的消息）、4xx、\n"
           "安装包无法读取和 Ctrl-C 都不重试。每次重试都在标准错误上说明原因和等待时间。\n"
           "服务不支持续传，每次重试都重新发送整个安装包。注意：如果安装包已经全部送达而\n"
           "服务的回复在路上断了，重试会再发布一次，产生第二个版本。\n"
           "\n"
           "进度显示在标准错误上：终端上是进度条（速度和剩余时间），否则每完成十分之一或每过\n"
           "10 秒打印一行（先到者为准）。\n"
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

namespace {

std::chrono::milliseconds g_firstRetryWait = RetryPolicy::kFirstWait;

// What the command line asked for, once checked.
struct UploadOptions
{
    UploadCommand::Choices choices;
    QString given; // the package as typed
    bool json = false;
    bool quiet = false;
    bool qr = false;
    bool open = false;
    RetryPolicy retry;
};

const QList<ArgParser::Option> &uploadOptionList()
{
    static const QList<ArgParser::Option> list { { u"name"_s, true, {} }, { u"shortcut"_s, true, {} },
        { u"password"_s, true, {} }, { u"publish-range"_s, true, {} }, { u"public"_s, false, {} },
        { u"no-public"_s, false, {} }, { u"notes"_s, true, {} }, { u"notes-file"_s, true, {} },
        { u"json"_s, false, {} }, { u"open"_s, false, {} }, { u"qr"_s, false, {} }, { u"quiet"_s, false, u'q' },
        { u"retries"_s, true, {} }, { u"retry-max-wait"_s, true, {} } };
    return list;
}

// A whole number from 0 to max, digits only ("-1", "2x", "+3" and "" are refused).
std::optional<int> boundedNumber(const QString &text, int max)
{
    static const QRegularExpression digits(u"^[0-9]{1,6}$"_s);
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const int value = text.toInt();
    return value <= max ? std::optional<int>(value) : std::nullopt;
}

// Reads --notes or --notes-file into the choices; false (with *status) on a usage error.
bool readNotes(Console &console, const ArgParser &parser, UploadCommand::Choices &choices, int *status)
{
    const QString command = u"upload"_s;
    if (parser.isSet(u"notes"_s) && parser.isSet(u"notes-file"_s)) {
        *status = CommandSupport::usageError(console, command, u"--notes 和 --notes-file 只能用一个"_s);
        return false;
    }
    if (parser.isSet(u"notes"_s))
        choices.description = parser.value(u"notes"_s);
    if (!parser.isSet(u"notes-file"_s))
        return true;
    const QString notesPath = parser.value(u"notes-file"_s);
    if (notesPath == u"-"_s) {
        choices.description = QString::fromUtf8(console.readAll());
        return true;
    }
    QFile notes(notesPath);
    if (!notes.open(QIODevice::ReadOnly)) {
        *status = CommandSupport::usageError(
            console, command, u"无法读取更新说明文件“%1”：%2"_s.arg(notesPath, notes.errorString()));
        return false;
    }
    choices.description = QString::fromUtf8(notes.readAll());
    return true;
}

// The publishing choices; false (with *status) on a usage error.
bool readChoices(Console &console, const ArgParser &parser, UploadCommand::Choices &choices, int *status)
{
    const QString command = u"upload"_s;
    if (parser.isSet(u"name"_s))
        choices.name = parser.value(u"name"_s);
    if (parser.isSet(u"shortcut"_s))
        choices.shortcut = parser.value(u"shortcut"_s);
    if (parser.isSet(u"password"_s))
        choices.password = parser.value(u"password"_s);
    if (parser.isSet(u"publish-range"_s)) {
        choices.publishRange = UploadCommand::publishRangeValue(parser.value(u"publish-range"_s));
        if (!choices.publishRange) {
            *status = CommandSupport::usageError(console, command, u"--publish-range 应为 all 或 invited"_s);
            return false;
        }
    }
    if (parser.isSet(u"public"_s) && parser.isSet(u"no-public"_s)) {
        *status = CommandSupport::usageError(console, command, u"--public 和 --no-public 只能用一个"_s);
        return false;
    }
    if (parser.isSet(u"public"_s))
        choices.isPublishToPublic = u"2"_s;
    if (parser.isSet(u"no-public"_s))
        choices.isPublishToPublic = u"1"_s;
    return readNotes(console, parser, choices, status);
}

// --retries and --retry-max-wait; false (with *status) on a usage error.
bool readRetries(Console &console, const ArgParser &parser, RetryPolicy &retry, int *status)
{
    retry.retries = UploadCommand::kDefaultRetries;
    retry.firstWait = g_firstRetryWait;
    if (parser.isSet(u"retries"_s)) {
        const std::optional<int> retries = boundedNumber(parser.value(u"retries"_s), UploadCommand::kMaxRetries);
        if (!retries) {
            *status = CommandSupport::usageError(
                console, u"upload"_s, u"--retries 应为 0 到 %1 的整数"_s.arg(UploadCommand::kMaxRetries));
            return false;
        }
        retry.retries = *retries;
    }
    if (parser.isSet(u"retry-max-wait"_s)) {
        const std::optional<int> seconds
            = boundedNumber(parser.value(u"retry-max-wait"_s), UploadCommand::kMaxRetryWaitSeconds);
        if (!seconds) {
            *status = CommandSupport::usageError(console, u"upload"_s,
                u"--retry-max-wait 应为 0 到 %1 的整数（秒）"_s.arg(UploadCommand::kMaxRetryWaitSeconds));
            return false;
        }
        retry.maxWait = std::chrono::seconds(*seconds);
    }
    return true;
}

bool readOptions(Console &console, const QStringList &arguments, UploadOptions &options, int *status)
{
    const QString command = u"upload"_s;
    ArgParser parser(uploadOptionList());
    if (!CommandSupport::parse(console, parser, arguments, command, UploadCommand::help(), status)
        || !CommandSupport::expectPositional(console, parser, command, 1, u"安装包"_s, status))
        return false;
    if (!readChoices(console, parser, options.choices, status) || !readRetries(console, parser, options.retry, status))
        return false;
    options.given = parser.positional().constFirst();
    options.json = parser.isSet(u"json"_s);
    options.quiet = parser.isSet(u"quiet"_s);
    options.qr = parser.isSet(u"qr"_s);
    options.open = parser.isSet(u"open"_s);
    return true;
}

QString stepName(UploadFlow::Step step)
{
    switch (step) {
    case UploadFlow::Step::Prepare:
        return u"准备上传"_s;
    case UploadFlow::Step::ShortcutCheck:
        return u"检查后缀"_s;
    case UploadFlow::Step::Upload:
        break;
    }
    return u"上传"_s;
}

// One upload: the flow driven to its end in a local event loop, with what it says on the console.
class UploadRun final
{
public:
    UploadRun(Console &console, const UploadOptions &options, const QString &path)
        : m_console(console)
        , m_options(options)
        , m_path(path)
    { }

    int exec();

private:
    void connectFlow();
    void finish(int code);
    void inspectionEnded(InspectionFailure failure);
    void showApplicationInfo();
    void retryScheduled(const UploadFlow::RetryNotice &notice);
    void uploadFinished(const UploadFlow::Result &outcome);
    void printRelease(const UploadFlow::Result &outcome);
    void interrupted();

    Console &m_console;
    const UploadOptions &m_options;
    const QString m_path;
    UploadFlow m_flow;
    QEventLoop m_loop;
    std::optional<int> m_result;
    std::unique_ptr<ProgressReporter> m_progress;
    int m_uploadRetries = 0;
};

void UploadRun::finish(int code)
{
    if (m_result)
        return;
    m_result = code;
    if (m_progress)
        m_progress->finish();
    m_loop.quit();
}

void UploadRun::connectFlow()
{
    const UploadCommand::Choices &choices = m_options.choices;
    m_flow.setSettingsSource(
        [this, &choices] { return UploadCommand::settingsFor(m_flow.record(), m_flow.appType(), choices); });
    m_flow.setRetryPolicy(m_options.retry);
    QObject::connect(&m_flow, &UploadFlow::inspectionEnded, &m_loop,
        [this](InspectionFailure failure, const QString &) { inspectionEnded(failure); });
    QObject::connect(&m_flow, &UploadFlow::showApplicationInfo, &m_loop, [this] { showApplicationInfo(); });
    QObject::connect(&m_flow, &UploadFlow::shortcutTaken, &m_loop, [this](const QString &message) {
        m_console.error(message);
        m_console.note(u"请用 --shortcut 换一个后缀"_s);
        finish(ExitCode::Refused);
    });
    QObject::connect(&m_flow, &UploadFlow::uploadStarted, &m_loop, [this](quint64) {
        m_progress
            = std::make_unique<ProgressReporter>(m_console, ProgressReporter::modeFor(m_console, m_options.quiet));
    });
    QObject::connect(&m_flow, &UploadFlow::progressChanged, &m_loop, [this](double value) {
        if (m_progress && !m_result)
            m_progress->update(value);
    });
    QObject::connect(&m_flow, &UploadFlow::transferStatus, &m_loop, [this](double, qint64, const QString &text) {
        if (m_progress)
            m_progress->setStatus(text);
    });
    QObject::connect(&m_flow, &UploadFlow::retryScheduled, &m_loop,
        [this](const UploadFlow::RetryNotice &notice) { retryScheduled(notice); });
    QObject::connect(&m_flow, &UploadFlow::uploadFinished, &m_loop,
        [this](const UploadFlow::Result &outcome) { uploadFinished(outcome); });
    QObject::connect(&Interruption::instance(), &Interruption::requested, &m_loop, [this] { interrupted(); });
}

int UploadRun::exec()
{
    connectFlow();
    if (Interruption::instance().isRequested())
        return ExitCode::Interrupted;
    if (!m_flow.ParsePackage(m_path)) {
        m_console.error(u"无法开始上传“%1”"_s.arg(m_path));
        return ExitCode::Failure;
    }
    if (!m_result)
        m_loop.exec();
    m_flow.discard();
    return *m_result;
}

void UploadRun::inspectionEnded(InspectionFailure failure)
{
    if (failure == InspectionFailure::ToolMissing) {
        m_console.error(u"找不到 aapt（%1），无法读取 Android 安装包"_s.arg(Config::resourcePath(u"aapt"_s)));
        finish(ExitCode::Failure);
        return;
    }
    m_console.error(u"无法读取安装包“%1”：aapt 无法解析，请确认它是完整的 .apk 文件"_s.arg(m_path));
    finish(ExitCode::BadPackage);
}

void UploadRun::showApplicationInfo()
{
    // The form removes what the inspection unpacked once it has shown it; so do we.
    m_flow.deletePayloadDirectory();
    const QVariantMap &record = m_flow.record();
    const UploadCommand::Choices &choices = m_options.choices;
    // A package without an identifier cannot be prepared or published: no use sending it.
    if (!DataCheck::isValidString(record.value(AppInfoKey::packageName))) {
        m_console.error(u"无法读取安装包“%1”：找不到应用标识，请确认它是完整的 %2 文件"_s.arg(
            m_path, m_flow.appType() == 1 ? u".ipa"_s : u".apk"_s));
        finish(ExitCode::BadPackage);
        return;
    }
    const QVariant canChange = record.value(AppInfoKey::urlCanbeModified);
    const QString proposed = usable(record.value(AppInfoKey::shortcutUrl));
    if (!canChange.isValid()) {
        m_console.warning(u"服务未能准备这次上传，按默认设置继续"_s);
    } else if (DataCheck::intValue(canChange) != 1 && choices.shortcut && *choices.shortcut != proposed) {
        m_console.error(u"这个应用已经发布过，下载页面的后缀是“%1”，不能更改"_s.arg(proposed));
        finish(ExitCode::Refused);
        return;
    }
    if (choices.publishRange && m_flow.appType() != 1)
        m_console.warning(u"--publish-range 只用于 iOS 安装包，已忽略"_s);
    if (!m_options.quiet) {
        m_console.note(u"%1  %2  %3"_s.arg(titleOf(record), record.value(AppInfoKey::packageName).toString(),
                           record.value(AppInfoKey::fileSize).toString()),
            Console::Tone::Emphasis);
    }
    m_flow.uploadButtonClicked();
}

void UploadRun::retryScheduled(const UploadFlow::RetryNotice &notice)
{
    if (notice.step == UploadFlow::Step::Upload) {
        ++m_uploadRetries;
        if (m_progress)
            m_progress->finish();
        m_progress.reset();
    }
    // Announced even with --quiet: a retry can send the whole package again.
    m_console.warning(
        u"%1失败（%2），%3 秒后重试（第 %4 次，最多 %5 次）"_s
            .arg(stepName(notice.step), notice.reason, QString::number(double(notice.wait.count()) / 1000.0, 'f', 1))
            .arg(notice.retry)
            .arg(notice.retries));
}

void UploadRun::uploadFinished(const UploadFlow::Result &outcome)
{
    if (m_progress)
        m_progress->finish();
    if (!outcome.success()) {
        m_console.error(outcome.message);
        if (m_uploadRetries > 0)
            m_console.note(u"共尝试上传 %1 次"_s.arg(m_uploadRetries + 1));
        finish(exitCodeFor(outcome));
        return;
    }
    printRelease(outcome);
    finish(ExitCode::Success);
}

void UploadRun::printRelease(const UploadFlow::Result &outcome)
{
    const QVariantMap &record = m_flow.record();
    const QVariantMap settings = m_flow.currentSettings();
    const bool hasAddress = !outcome.appShortcutUrl.isEmpty();
    // The address is built from the reply's suffix: whatever it holds must not reach a terminal.
    const QString address = Console::printable(outcome.downloadUrl);
    if (!hasAddress)
        m_console.warning(u"上传成功，但服务没有返回下载页面的地址"_s);
    if (m_options.json) {
        CommandSupport::printJson(m_console,
            QJsonObject { { u"downloadUrl"_s, hasAddress ? QJsonValue(outcome.downloadUrl) : QJsonValue() },
                { u"shortcut"_s, outcome.appShortcutUrl }, { u"name"_s, settings.value(SettingKey::name).toString() },
                { u"packageName"_s, record.value(AppInfoKey::packageName).toString() },
                { u"platform"_s, m_flow.appType() == 1 ? u"ios"_s : u"android"_s },
                { u"version"_s, record.value(AppInfoKey::appVersion).toString() },
                { u"build"_s, record.value(AppInfoKey::appBuild).toString() }, { u"size"_s, qint64(m_flow.filesize()) },
                { u"fileSize"_s, record.value(AppInfoKey::fileSize).toString() } });
    } else if (hasAddress) {
        m_console.out() << address << '\n';
        m_console.out().flush();
    }
    if (!m_options.quiet)
        m_console.note(u"上传完成：%1"_s.arg(titleOf(record)), Console::Tone::Success);
    if (hasAddress && m_options.qr) {
        QTextStream &stream = m_options.json ? m_console.err() : m_console.out();
        stream << TerminalQr::render(
            outcome.downloadUrl, m_options.json ? m_console.colourOnError() : m_console.colourOnOutput());
        stream.flush();
    }
    QString openError;
    if (hasAddress && m_options.open && !m_console.openUrl(outcome.downloadUrl, &openError))
        m_console.warning(openError);
}

void UploadRun::interrupted()
{
    m_flow.discard();
    if (m_progress)
        m_progress->finish();
    m_console.error(u"已中断，没有完成上传"_s);
    finish(ExitCode::Interrupted);
}

} // namespace

void UploadCommand::setFirstRetryWait(std::chrono::milliseconds wait)
{
    g_firstRetryWait = wait;
}

int UploadCommand::run(Console &console, const QStringList &arguments)
{
    UploadOptions options;
    int status = 0;
    if (!readOptions(console, arguments, options, &status))
        return status;
    if (!QSLoginModel::isLogged()) {
        console.error(u"尚未登录，请先运行 quillo login"_s);
        return ExitCode::NotLoggedIn;
    }
    const QString path = QFileInfo(options.given).absoluteFilePath();
    if (!PackageCommands::checkReadableFile(console, options.given))
        return ExitCode::BadPackage;
    if (!path.endsWith(u".ipa"_s) && !path.endsWith(u".apk"_s)) {
        console.error(u"只能上传 .ipa 或 .apk 安装包：%1"_s.arg(options.given));
        return ExitCode::BadPackage;
    }
    return UploadRun(console, options, path).exec();
}
