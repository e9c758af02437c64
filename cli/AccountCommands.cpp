#include "cli/AccountCommands.h"

#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "cli/ApiCall.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "cli/EnvironmentSession.h"
#include "cli/ExitCode.h"

#include <QJsonObject>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

const QString kPasswordStdin = u"password-stdin"_s;
const QString kPassword = u"password"_s;
const QString kEmail = u"email"_s;

QString dropFinalLineEnd(QString text)
{
    if (text.endsWith(u'\n'))
        text.chop(1);
    if (text.endsWith(u'\r'))
        text.chop(1);
    return text;
}

// The value of an option, or the answer to a prompt when the option is absent.
QString optionOrAsk(Console &console, const ArgParser &parser, const QString &option, const QString &prompt)
{
    if (parser.isSet(option))
        return parser.value(option);
    return console.ask(prompt).value_or(QString());
}

// While it lives the preferences stay in memory: the settings file is neither read nor written.
class SettingsUntouched final
{
public:
    explicit SettingsUntouched(bool active)
        : m_active(active && !Preferences::isMemoryOnly())
    {
        if (m_active)
            Preferences::setMemoryOnly(true);
    }
    ~SettingsUntouched()
    {
        if (m_active)
            Preferences::setMemoryOnly(false);
    }
    SettingsUntouched(const SettingsUntouched &) = delete;
    SettingsUntouched &operator=(const SettingsUntouched &) = delete;

private:
    bool m_active;
};

QString userLine(const QVariant &userInfo)
{
    const QVariantMap info = userInfo.toMap();
    const QString name = Console::printable(info.value(u"name"_s).toString());
    const QString email = Console::printable(info.value(u"email"_s).toString());
    if (name.isEmpty())
        return email;
    return email.isEmpty() ? name : u"%1 <%2>"_s.arg(name, email);
}

} // namespace

bool AccountCommands::validateEmail(const QString &text)
{
    return DataCheck::isValidEmail(text);
}

bool AccountCommands::isLongEnough(const QString &password)
{
    return password.size() > 5;
}

std::optional<QString> AccountCommands::readPassword(Console &console, const ArgParser &parser, const QString &command,
    bool confirm, std::optional<QString> *confirmation, int *status)
{
    if (parser.isSet(kPasswordStdin) && parser.isSet(kPassword)) {
        *status = CommandSupport::usageError(console, command, u"--password 和 --password-stdin 只能用一个"_s);
        return std::nullopt;
    }
    if (parser.isSet(kPasswordStdin))
        return dropFinalLineEnd(QString::fromUtf8(console.readAll()));
    if (parser.isSet(kPassword)) {
        console.warning(
            u"用 --password 给出的密码会出现在进程列表里，请改用 --password-stdin 或环境变量 QUILLO_PASSWORD"_s);
        return parser.value(kPassword);
    }
    if (qEnvironmentVariableIsSet("QUILLO_PASSWORD"))
        return qEnvironmentVariable("QUILLO_PASSWORD");
    const QString password = console.askSecret(u"密码："_s).value_or(QString());
    if (confirm && console.inputIsTerminal() && DataCheck::isValidString(password) && isLongEnough(password))
        *confirmation = console.askSecret(u"再次输入密码："_s).value_or(QString());
    return password;
}

// ---- login ----

QString AccountCommands::loginHelp()
{
    return u"用法：quillo login [--email 邮箱] [--password-stdin] [--print-key]\n"
           "\n"
           "登录 Quillo。登录状态与桌面程序共用：在这里登录后，桌面程序也是登录状态，反之亦然。\n"
           "\n"
           "  --email 邮箱         账户邮箱；不给出时提示输入\n"
           "  --password-stdin     从标准输入读取密码（末尾的换行会去掉）\n"
           "  --password 密码      直接给出密码（会出现在进程列表里，不建议）\n"
           "  --print-key          不保存登录状态，只在标准输出打印账户的会话密钥，供 CI 使用：\n"
           "                       存进 CI 的密钥库，以环境变量 QUILLO_USER_KEY 交给 quillo。\n"
           "                       密钥和密码一样是凭据，持有它的人可以用这个账户发布。\n"
           "\n"
           "不用以上两个密码选项时，密码取自环境变量 QUILLO_PASSWORD；没有设置时提示输入，\n"
           "在终端上输入的密码不会显示。设置了 QUILLO_USER_KEY 时只能和 --print-key 一起用。\n"
           "\n"
           "退出码：0 已登录，2 邮箱或密码为空，5 服务拒绝（如邮箱或密码错误），6 网络故障。\n"_s;
}

namespace {

// The e-mail address and the password of a login, from the options, standard input or prompts.
int readLoginCredentials(Console &console, const ArgParser &parser, QString *email, QString *password)
{
    *email = optionOrAsk(console, parser, kEmail, u"邮箱："_s);
    if (!DataCheck::isValidString(*email)) {
        console.error(u"请输入邮箱哦"_s);
        return ExitCode::Usage;
    }
    int status = ExitCode::Success;
    std::optional<QString> unused;
    const std::optional<QString> read
        = AccountCommands::readPassword(console, parser, u"login"_s, false, &unused, &status);
    if (!read)
        return status;
    if (!DataCheck::isValidString(*read)) {
        console.error(u"请输入密码哦"_s);
        return ExitCode::Usage;
    }
    *password = *read;
    return ExitCode::Success;
}

// Stores the session a login reply names; the settings file must take it.
int keepSession(Console &console, const QVariant &data)
{
    QSLoginModel::setLoginWithUId(data.toMap().value(u"userKey"_s), data);
    if (!QSLoginModel::isLogged()) {
        console.error(u"登录失败：服务返回的用户信息不完整，请稍后重试"_s);
        return ExitCode::Refused;
    }
    // The session lives in the settings file; one that cannot be written keeps nobody logged in.
    if (!Preferences::flush()) {
        console.error(u"无法保存登录状态：设置文件 %1 无法写入"_s.arg(Config::settingsFile()));
        return ExitCode::Failure;
    }
    console.note(u"已登录：%1"_s.arg(userLine(data)), Console::Tone::Success);
    return ExitCode::Success;
}

} // namespace

int AccountCommands::login(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { kEmail, true, {} }, { kPassword, true, {} }, { kPasswordStdin, false, {} },
        { u"print-key"_s, false, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"login"_s, loginHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"login"_s, 0, QString(), &status))
        return status;
    const bool printKey = parser.isSet(u"print-key"_s);
    if (EnvironmentSession::isActive() && !printKey)
        return CommandSupport::usageError(console, u"login"_s,
            u"设置了 QUILLO_USER_KEY 时不会保存登录状态；要登录请先取消这个环境变量，要取得密钥请加 --print-key"_s);
    // The key is for somewhere else: this machine's session (maybe another account) stays as it is.
    const SettingsUntouched untouched(printKey);
    if (parser.isSet(kPasswordStdin) && !parser.isSet(kEmail))
        return CommandSupport::usageError(console, u"login"_s, u"使用 --password-stdin 时请用 --email 给出邮箱"_s);

    QString email;
    QString password;
    if (const int problem = readLoginCredentials(console, parser, &email, &password); problem != ExitCode::Success)
        return problem;

    if (console.errorIsTerminal())
        console.note(u"正在登录..."_s);
    ApiCall call;
    call.client().loginWithEmail(email, password, &call, ApiCall::kSuccess, ApiCall::kFailure);
    if (!call.wait()) {
        if (!call.wasInterrupted())
            console.error(call.errorMessage(u"登录失败，请稍后重试"_s));
        return call.exitCode();
    }
    const QVariant data = call.data();
    return printKey ? printSessionKey(console, data) : keepSession(console, data);
}

// ---- logout ----

QString AccountCommands::logoutHelp()
{
    return u"用法：quillo logout\n"
           "\n"
           "退出登录（桌面程序也随之退出登录）。和桌面程序一样，不通知服务。\n"_s;
}

int AccountCommands::printSessionKey(Console &console, const QVariant &loginData)
{
    const QString key = loginData.toMap().value(u"userKey"_s).toString();
    if (!EnvironmentSession::problemWith(key).isEmpty()) {
        console.error(u"登录失败：服务返回的用户信息不完整，请稍后重试"_s);
        return ExitCode::Refused;
    }
    console.out() << key << '\n';
    console.out().flush();
    console.note(u"以上是账户的会话密钥：请存进 CI 的密钥库，以 QUILLO_USER_KEY 交给 quillo，不要写进代码或日志。"_s);
    console.note(u"登录状态没有保存。"_s);
    return ExitCode::Success;
}

int AccountCommands::logout(Console &console, const QStringList &arguments)
{
    ArgParser parser({});
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"logout"_s, logoutHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"logout"_s, 0, QString(), &status))
        return status;
    if (EnvironmentSession::isActive()) {
        console.note(u"会话来自环境变量 QUILLO_USER_KEY，设置文件没有改动；取消这个变量即可"_s);
        return ExitCode::Success;
    }
    if (!QSLoginModel::isLogged()) {
        console.note(u"当前没有登录"_s);
        return ExitCode::Success;
    }
    QSLoginModel::setLogout();
    if (!Preferences::flush()) {
        console.error(u"无法保存退出登录：设置文件 %1 无法写入，仍处于登录状态"_s.arg(Config::settingsFile()));
        return ExitCode::Failure;
    }
    console.note(u"已退出登录"_s);
    return ExitCode::Success;
}

// ---- whoami ----

QString AccountCommands::whoamiHelp()
{
    return u"用法：quillo whoami [--json]\n"
           "\n"
           "显示当前登录的账户和服务地址。\n"
           "\n"
           "  --json   以一个 JSON 对象输出：userKey、email、name、serviceHost、session\n"
           "           （session 为 settings 或 environment）\n"
           "\n"
           "会话来自环境变量 QUILLO_USER_KEY 时不显示密钥（userKey 为 null），也不联系服务。\n"
           "\n"
           "退出码：0 已登录，3 尚未登录。\n"_s;
}

int AccountCommands::whoami(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { u"json"_s, false, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"whoami"_s, whoamiHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"whoami"_s, 0, QString(), &status))
        return status;
    if (!QSLoginModel::isLogged()) {
        console.error(u"尚未登录，请先运行 quillo login"_s);
        return ExitCode::NotLoggedIn;
    }
    const bool fromEnvironment = EnvironmentSession::isActive();
    const QVariantMap info = QSLoginModel::currentUserInfo().toMap();
    const QString userKey = QSLoginModel::currentUid().toString();
    if (parser.isSet(u"json"_s)) {
        CommandSupport::printJson(console,
            QJsonObject { { u"userKey"_s, fromEnvironment ? QJsonValue() : QJsonValue(userKey) },
                { u"email"_s, info.value(u"email"_s).toString() }, { u"name"_s, info.value(u"name"_s).toString() },
                { u"serviceHost"_s, Config::serviceHost() },
                { u"session"_s, fromEnvironment ? u"environment"_s : u"settings"_s } });
        return ExitCode::Success;
    }
    const QString who = fromEnvironment ? u"环境变量 QUILLO_USER_KEY 中的账户"_s : userLine(info);
    console.out() << (who.isEmpty() ? Console::printable(userKey) : who) << '\n';
    console.out() << u"服务：%1"_s.arg(Config::serviceHost()) << '\n';
    console.out().flush();
    return ExitCode::Success;
}

// ---- register ----

QString AccountCommands::registerHelp()
{
    return u"用法：quillo register --agree [--email 邮箱] [--name 姓名] [--password-stdin]\n"
           "\n"
           "注册新的 Quillo 账户。注册后请用 quillo login 登录。\n"
           "\n"
           "  --email 邮箱         新账户的邮箱；不给出时提示输入\n"
           "  --name 姓名          用户名；不给出时提示输入\n"
           "  --password-stdin     从标准输入读取密码\n"
           "  --password 密码      直接给出密码（会出现在进程列表里，不建议）\n"
           "  --agree              同意 Quillo 服务条款（必需）\n"
           "\n"
           "密码至少 6 位；在终端上提示输入时要输入两次。也可用环境变量 QUILLO_PASSWORD。\n"
           "\n"
           "退出码：0 注册成功，2 输入不合要求或未同意服务条款，5 服务拒绝，6 网络故障。\n"_s;
}

int AccountCommands::registerAccount(Console &console, const QStringList &arguments)
{
    const QString command = u"register"_s;
    ArgParser parser({ { kEmail, true, {} }, { u"name"_s, true, {} }, { kPassword, true, {} },
        { kPasswordStdin, false, {} }, { u"agree"_s, false, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, command, registerHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, command, 0, QString(), &status))
        return status;
    if (parser.isSet(kPasswordStdin) && !(parser.isSet(kEmail) && parser.isSet(u"name"_s)))
        return CommandSupport::usageError(
            console, command, u"使用 --password-stdin 时请用 --email 和 --name 给出邮箱和姓名"_s);
    if (!parser.isSet(u"agree"_s)) {
        console.error(u"注册需同意Quillo服务条款"_s);
        console.note(
            u"服务条款：%1 。同意后请加上 --agree 再运行。"_s.arg(Config::serviceUrl(u"about/termofservice"_s)));
        return ExitCode::Usage;
    }

    // The registration screen's checks when editing ends, in its order and with its messages.
    const QString email = optionOrAsk(console, parser, kEmail, u"邮箱："_s);
    if (!DataCheck::isValidString(email)) {
        console.error(u"邮件地址不能为空"_s);
        return ExitCode::Usage;
    }
    if (!validateEmail(email)) {
        console.error(u"邮件地址非法"_s);
        return ExitCode::Usage;
    }
    const QString name = optionOrAsk(console, parser, u"name"_s, u"姓名："_s);
    if (!DataCheck::isValidString(name)) {
        console.error(u"姓名不能为空"_s);
        return ExitCode::Usage;
    }
    std::optional<QString> confirmation;
    const std::optional<QString> password = readPassword(console, parser, command, true, &confirmation, &status);
    if (!password)
        return status;
    for (const QString &typed : confirmation ? QStringList { *password, *confirmation } : QStringList { *password }) {
        if (!DataCheck::isValidString(typed)) {
            console.error(u"密码不能为空"_s);
            return ExitCode::Usage;
        }
        if (!isLongEnough(typed)) {
            console.error(u"密码长度必须大于6位"_s);
            return ExitCode::Usage;
        }
    }
    if (confirmation && *confirmation != *password) {
        console.error(u"两次输入密码不一致"_s);
        return ExitCode::Usage;
    }

    ApiCall call;
    call.client().registWithUserName(name, email, *password, &call, ApiCall::kSuccess, ApiCall::kFailure);
    if (!call.wait()) {
        if (!call.wasInterrupted())
            console.error(call.errorMessage(u"注册失败，请稍后重试"_s));
        return call.exitCode();
    }
    console.note(u"恭喜您，注册成功!"_s, Console::Tone::Success);
    console.note(u"请用 quillo login --email %1 登录"_s.arg(email));
    return ExitCode::Success;
}

// ---- forgot-password ----

QString AccountCommands::forgotPasswordHelp()
{
    return u"用法：quillo forgot-password [--email 邮箱]\n"
           "\n"
           "让服务向账户邮箱发送重设密码的邮件。\n"
           "\n"
           "  --email 邮箱   注册时使用的邮箱；不给出时提示输入\n"
           "\n"
           "退出码：0 服务已受理，2 邮件地址非法，5 服务拒绝，6 网络故障。\n"_s;
}

int AccountCommands::forgotPassword(Console &console, const QStringList &arguments)
{
    ArgParser parser({ { kEmail, true, {} } });
    int status = 0;
    if (!CommandSupport::parse(console, parser, arguments, u"forgot-password"_s, forgotPasswordHelp(), &status)
        || !CommandSupport::expectPositional(console, parser, u"forgot-password"_s, 0, QString(), &status))
        return status;
    const QString email = optionOrAsk(console, parser, kEmail, u"邮箱："_s);
    if (!validateEmail(email)) {
        console.error(u"邮件地址非法！"_s);
        return ExitCode::Usage;
    }
    ApiCall call;
    call.client().findPasswordWithEmail(email, &call, ApiCall::kSuccess, ApiCall::kFailure);
    if (!call.wait()) {
        if (!call.wasInterrupted())
            console.error(call.errorMessage(u"邮件发送失败，请稍后重试"_s));
        return call.exitCode();
    }
    console.note(u"邮件已成功发送！"_s, Console::Tone::Success);
    return ExitCode::Success;
}
