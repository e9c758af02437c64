#include "server/ApiService.h"

#include "app/DataCheck.h"

#include "server/Logging.h"
#include "server/PackageReader.h"
#include "server/Passwords.h"
#include "server/WireRules.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

using namespace Qt::StringLiterals;

namespace {

constexpr int maxNameLength = 64;
constexpr int minPasswordLength = 6;
constexpr int maxPasswordLength = 128;
constexpr qint64 resetTicketLifetime = 3600;

const QStringList reservedShortcuts = {u"apiv1"_s, u"help"_s,  u"about"_s, u"user"_s,   u"static"_s, u"download"_s,
                                       u"icon"_s,  u"index"_s, u"admin"_s, u"assets"_s, u"app"_s};

ApiReply missing(const QString &what)
{
    return ApiReply::refusal(ApiReply::MissingField, u"缺少参数“%1”，请补全后重试"_s.arg(what));
}

bool isChoiceNumber(const QString &value)
{
    static const QRegularExpression digits(u"^[0-9]{1,3}$"_s);
    return digits.match(value).hasMatch();
}

QJsonObject userData(const Store::User &user)
{
    return QJsonObject{{u"userKey"_s, user.userKey},
                       {u"u_api_token"_s, user.token},
                       {u"name"_s, user.name},
                       {u"email"_s, user.email}};
}

} // namespace

ApiService::ApiService(Store &store, Settings settings)
    : m_store(store)
    , m_settings(std::move(settings))
{
}

QString ApiService::packagesDir(const QString &dataDir)
{
    return dataDir + u"/packages"_s;
}

QString ApiService::iconsDir(const QString &dataDir)
{
    return dataDir + u"/icons"_s;
}

QString ApiService::outboxDir(const QString &dataDir)
{
    return dataDir + u"/outbox"_s;
}

QString ApiService::tempDir(const QString &dataDir)
{
    return dataDir + u"/tmp"_s;
}

int ApiService::compareVersions(const QString &a, const QString &b)
{
    static const QRegularExpression leadingNumber(u"^\\s*([0-9]+)"_s);
    const QStringList left = a.trimmed().split(u'.');
    const QStringList right = b.trimmed().split(u'.');
    for (qsizetype i = 0; i < std::max(left.size(), right.size()); ++i) {
        auto number = [](const QStringList &parts, qsizetype index) -> qulonglong {
            if (index >= parts.size())
                return 0;
            const QRegularExpressionMatch m = leadingNumber.match(parts.at(index));
            return m.hasMatch() ? m.captured(1).left(18).toULongLong() : 0;
        };
        const qulonglong l = number(left, i);
        const qulonglong r = number(right, i);
        if (l != r)
            return l < r ? -1 : 1;
    }
    return 0;
}

QString ApiService::checkShortcut(const QString &shortcut)
{
    static const QRegularExpression form(u"^[A-Za-z0-9][A-Za-z0-9_-]{0,63}$"_s);
    if (!form.match(shortcut).hasMatch())
        return u"网址后缀“%1”不可用：只能由字母、数字、“-”和“_”组成，以字母或数字开头，长度 1 到 64 个字符，请更换"_s.arg(
            shortcut.left(80));
    if (reservedShortcuts.contains(shortcut.toLower()))
        return u"网址后缀“%1”为系统保留，请更换"_s.arg(shortcut);
    return {};
}

QString ApiService::proposeShortcut(const QString &packageName)
{
    QString base;
    const QString last = packageName.section(u'.', -1).toLower();
    for (const QChar c : last) {
        if ((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9'))
            base.append(c);
    }
    base.truncate(20);
    if (base.isEmpty() || !checkShortcut(base).isEmpty())
        base = u"app"_s;
    for (int n = 1; n < 1000; ++n) {
        const QString candidate = n == 1 ? base : base + QString::number(n);
        if (!m_store.appByShortcut(candidate))
            return candidate;
    }
    return base + Passwords::randomKey(8);
}

bool ApiService::seedDemo(QString *email, QString *password)
{
    *email = u"demo@quillo.local"_s;
    *password = u"quillo-demo"_s;
    if (const auto user = m_store.userByEmail(*email)) {
        if (Passwords::verify(*password, user->passwordHash))
            return true;
        return m_store.replacePassword(user->id, Passwords::hash(*password));
    }
    return m_store.addUser(*email, u"演示用户"_s, Passwords::hash(*password), nullptr) == Store::Result::Ok;
}

bool ApiService::isInvitedOnly(const Store::App &app)
{
    return app.publishRange != u"2"_s;
}

QString ApiService::pageAddress(const Store::App &app)
{
    return isInvitedOnly(app) ? app.shortcut + u'/' + app.inviteKey : app.shortcut;
}

ApiReply ApiService::checkApiKey(const FormFields &fields) const
{
    const QString key = fields.text(u"_api_key"_s);
    if (key.isEmpty())
        return ApiReply::refusal(ApiReply::BadApiKey, u"缺少接口密钥（_api_key），请使用 Quillo 客户端访问"_s);
    if (!Passwords::sameText(key, WireRules::apiKeyText()))
        return ApiReply::refusal(ApiReply::BadApiKey, u"接口密钥（_api_key）不正确，请升级到最新版本的 Quillo 客户端"_s);
    return ApiReply::success({});
}

ApiReply ApiService::requireUser(const FormFields &fields, Store::User *user)
{
    const QString uid = fields.text(u"_uId"_s);
    const QString token = fields.text(u"_token"_s);
    if (uid.isEmpty() || token.isEmpty())
        return ApiReply::refusal(ApiReply::NotLoggedIn, u"请先登录后再操作"_s);
    const auto found = m_store.userByKey(uid);
    if (!found || !Passwords::sameText(found->token, token))
        return ApiReply::refusal(ApiReply::NotLoggedIn, u"登录已失效，请退出后重新登录"_s);
    *user = *found;
    return ApiReply::success({});
}

ApiReply ApiService::handle(const QString &moduleAction, const FormFields &fields, const RequestInfo &info)
{
    if (const ApiReply key = checkApiKey(fields); !key.ok())
        return key;
    if (moduleAction == u"user/register"_s)
        return registerUser(fields);
    if (moduleAction == u"user/login"_s)
        return login(fields, info);
    if (moduleAction == u"user/forgetPassword"_s)
        return forgetPassword(fields);
    if (moduleAction == u"app/uploadPrepare"_s)
        return uploadPrepare(fields);
    if (moduleAction == u"app/getAppKeyByShortcut"_s)
        return appKeyByShortcut(fields);
    if (moduleAction == u"desktop/checkNewestVersion"_s)
        return checkNewestVersion(fields);
    if (moduleAction == u"desktop/launchLog"_s)
        return launchReport(u"launch"_s, fields, info);
    if (moduleAction == u"desktop/firstLaunch"_s)
        return launchReport(u"first"_s, fields, info);
    if (moduleAction == u"config/constants"_s)
        return constants();
    if (moduleAction == u"app/upload"_s)
        return ApiReply::refusal(ApiReply::WireFormat, u"上传安装包须使用 multipart/form-data 格式"_s, 400);
    if (WireRules::isCatalogued(moduleAction))
        return ApiReply::refusal(ApiReply::Unsupported,
                                 u"本地服务不提供“%1”操作，请在正式服务上使用此功能"_s.arg(moduleAction));
    return ApiReply::refusal(ApiReply::UnknownPath, u"未知的接口“%1”，请检查请求地址"_s.arg(moduleAction.left(100)), 404);
}

ApiReply ApiService::registerUser(const FormFields &fields)
{
    const QString email = fields.text(u"email"_s).trimmed();
    const QString name = fields.text(u"name"_s).trimmed();
    const QString password = fields.text(u"password"_s);
    if (email.isEmpty())
        return ApiReply::refusal(ApiReply::MissingField, u"请填写邮箱地址"_s);
    if (!DataCheck::isValidEmail(email) || email.size() > 254)
        return ApiReply::refusal(ApiReply::InvalidField, u"邮箱地址“%1”格式不正确，请检查后重新输入"_s.arg(email.left(254)));
    if (name.isEmpty())
        return ApiReply::refusal(ApiReply::MissingField, u"请填写姓名"_s);
    if (name.size() > maxNameLength)
        return ApiReply::refusal(ApiReply::InvalidField, u"姓名不能超过 %1 个字符"_s.arg(maxNameLength));
    if (password.isEmpty())
        return ApiReply::refusal(ApiReply::MissingField, u"请填写密码"_s);
    if (password.size() < minPasswordLength)
        return ApiReply::refusal(ApiReply::InvalidField, u"密码长度不能少于 %1 位"_s.arg(minPasswordLength));
    if (password.size() > maxPasswordLength)
        return ApiReply::refusal(ApiReply::InvalidField, u"密码长度不能超过 %1 位"_s.arg(maxPasswordLength));
    Store::User user;
    switch (m_store.addUser(email, name, Passwords::hash(password), &user)) {
    case Store::Result::Ok:
        qCInfo(lcServer) << "registered" << email;
        return ApiReply::success(QJsonObject{{u"email"_s, user.email}, {u"name"_s, user.name}});
    case Store::Result::Conflict:
        return ApiReply::refusal(ApiReply::EmailTaken, u"邮箱“%1”已注册，请直接登录；忘记密码可通过“找回密码”重置"_s.arg(email));
    case Store::Result::Failed:
        break;
    }
    return ApiReply::refusal(ApiReply::Internal, u"注册失败，服务暂时不可用，请稍后重试"_s);
}

ApiReply ApiService::tooManyAttempts(qint64 seconds) const
{
    return ApiReply::refusal(
        ApiReply::TooManyAttempts, u"尝试次数过多，请 %1 分钟后再试"_s.arg((seconds + 59) / 60), 429);
}

// Failures are counted per address and per account (known or not, so that the cap tells nothing);
// either cap refuses before the password is even checked.
ApiReply ApiService::login(const FormFields &fields, const RequestInfo &info)
{
    if (!fields.has(u"email"_s) && fields.has(u"mobile"_s))
        return ApiReply::refusal(ApiReply::Unsupported, u"暂不支持手机验证码登录，请使用邮箱和密码登录"_s);
    const QString email = fields.text(u"email"_s).trimmed();
    const QString password = fields.text(u"password"_s);
    if (email.isEmpty())
        return ApiReply::refusal(ApiReply::MissingField, u"请输入邮箱"_s);
    if (password.isEmpty())
        return ApiReply::refusal(ApiReply::MissingField, u"请输入密码"_s);
    const QString account = email.toLower();
    if (const qint64 wait
        = std::max(m_loginsByAddress.blockedFor(info.remoteAddress), m_loginsByAccount.blockedFor(account)))
        return tooManyAttempts(wait);
    const auto user = m_store.userByEmail(email);
    // The same answer, and the same work, whether the address is unknown or the password wrong.
    static const QString unknownUserHash = Passwords::hash(u"unknown user"_s);
    const bool matches = Passwords::verify(password, user ? user->passwordHash : unknownUserHash) && user;
    if (!matches) {
        m_loginsByAddress.recordFailure(info.remoteAddress);
        m_loginsByAccount.recordFailure(account);
        return ApiReply::refusal(ApiReply::WrongCredentials, u"邮箱或密码错误，请重新输入"_s);
    }
    m_loginsByAccount.clear(account);
    if (Passwords::iterationsOf(user->passwordHash) < Passwords::defaultIterations)
        m_store.setPasswordHash(user->id, Passwords::hash(password));
    qCInfo(lcServer) << "login" << user->email;
    return ApiReply::success(userData(*user));
}

// An address without an account gets the answer a known one gets, and no mail.
ApiReply ApiService::forgetPassword(const FormFields &fields)
{
    const QString email = fields.text(u"email"_s).trimmed();
    if (email.isEmpty())
        return ApiReply::refusal(ApiReply::MissingField, u"请填写注册时使用的邮箱地址"_s);
    if (!DataCheck::isValidEmail(email) || email.size() > 254)
        return ApiReply::refusal(
            ApiReply::InvalidField, u"邮箱地址“%1”格式不正确，请检查后重新输入"_s.arg(email.left(254)));
    const auto user = m_store.userByEmail(email);
    if (!user) {
        qCInfo(lcServer) << "recovery asked for an address without an account";
        return ApiReply::success(QJsonObject());
    }
    const QString ticket = m_store.createResetTicket(user->id, resetTicketLifetime);
    if (ticket.isEmpty())
        return ApiReply::refusal(ApiReply::Internal, u"邮件发送失败，请稍后重试"_s);
    // The configured address: a Host header is the sender's to choose.
    const QString link = u"%1/user/resetPassword?ticket=%2"_s.arg(m_publicUrl, ticket);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString subject = u"重置您的 Quillo 密码"_s;
    const QString mail = u"To: %1\r\nFrom: Quillo <noreply@quillo.local>\r\nSubject: %2\r\nDate: %3\r\n"
                         "Content-Type: text/plain; charset=utf-8\r\n\r\n"
                         "%4，您好：\r\n\r\n请在一小时内打开下面的链接设置新密码：\r\n%5\r\n\r\n"
                         "如果这不是您本人的操作，请忽略本邮件。\r\n"_s.arg(user->email, subject,
                                                                            now.toString(Qt::RFC2822Date), user->name, link);
    const QString dir = outboxDir(m_settings.dataDir);
    QDir().mkpath(dir);
    const QString path = dir + u"/%1-%2.eml"_s.arg(now.toString(u"yyyyMMdd-HHmmss-zzz"_s), ticket.left(8));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(mail.toUtf8()) < 0 || !file.commit()) {
        qCWarning(lcServer) << "cannot write the mail" << path;
        return ApiReply::refusal(ApiReply::Internal, u"邮件发送失败，请稍后重试"_s);
    }
    // The ticket is a credential until it is used: the log names the mail's file, never the link.
    qCInfo(lcServer).noquote() << "mail to" << user->email << "subject" << subject << "file" << path;
    return ApiReply::success(QJsonObject());
}

ApiReply ApiService::uploadPrepare(const FormFields &fields)
{
    Store::User user;
    // A client whose session is the user key alone (quillo with QUILLO_USER_KEY) has no token: it
    // sends the key as _uId and uKey, which is then the credential, as for the upload that follows.
    const QString sessionKey = fields.text(u"uKey"_s).trimmed();
    const bool keyOnly
        = fields.text(u"_token"_s).isEmpty() && !sessionKey.isEmpty() && fields.text(u"_uId"_s) == sessionKey;
    if (keyOnly) {
        const auto found = m_store.userByKey(sessionKey);
        if (!found)
            return ApiReply::refusal(ApiReply::NotLoggedIn, u"用户不存在或登录已失效，请退出后重新登录"_s);
        user = *found;
    } else if (const ApiReply r = requireUser(fields, &user); !r.ok()) {
        return r;
    }
    const QString packageName = fields.text(u"packageName"_s).trimmed();
    const QString type = fields.text(u"type"_s).trimmed();
    const QString uKey = fields.text(u"uKey"_s).trimmed();
    if (packageName.isEmpty())
        return missing(u"packageName"_s);
    if (type.isEmpty())
        return missing(u"type"_s);
    if (type != u"ios"_s && type != u"android"_s)
        return ApiReply::refusal(ApiReply::InvalidField, u"参数 type 应为“ios”或“android”，实际为“%1”"_s.arg(type.left(40)));
    if (uKey.isEmpty())
        return missing(u"uKey"_s);
    if (!Passwords::sameText(uKey, user.userKey))
        return ApiReply::refusal(ApiReply::NotLoggedIn, u"uKey 与当前登录用户不符，请退出后重新登录"_s);
    QJsonObject data;
    if (const auto app = m_store.appFor(user.id, packageName, type)) {
        data.insert(u"shortcutUrl"_s, app->shortcut);
        data.insert(u"parentApp"_s, QJsonObject{{u"a_is_publish_to_public"_s, app->isPublishToPublic},
                                                 {u"a_password"_s, app->password},
                                                 {u"a_publish_range"_s, app->publishRange},
                                                 {u"a_key"_s, app->appKey},
                                                 {u"a_name"_s, app->name}});
    } else {
        data.insert(u"shortcutUrl"_s, proposeShortcut(packageName));
    }
    return ApiReply::success(data);
}

ApiReply ApiService::appKeyByShortcut(const FormFields &fields)
{
    Store::User user;
    if (const ApiReply r = requireUser(fields, &user); !r.ok())
        return r;
    const QString shortcut = fields.text(u"shortcut"_s).trimmed();
    if (shortcut.isEmpty())
        return missing(u"shortcut"_s);
    if (const QString problem = checkShortcut(shortcut); !problem.isEmpty())
        return ApiReply::refusal(ApiReply::ShortcutInvalid, problem);
    if (const auto app = m_store.appByShortcut(shortcut))
        return ApiReply::success(QJsonObject{{u"appKey"_s, app->appKey}});
    return ApiReply::success(QJsonObject());
}

ApiReply ApiService::checkNewestVersion(const FormFields &fields) const
{
    const QString current = fields.text(u"releaseno"_s).trimmed();
    if (current.isEmpty())
        return missing(u"releaseno"_s);
    if (!m_settings.newestVersion.isEmpty() && compareVersions(m_settings.newestVersion, current) > 0)
        return ApiReply::success(QJsonObject{{u"d_down_url"_s, m_settings.newestUrl}, {u"d_version"_s, m_settings.newestVersion}});
    return ApiReply::success(QJsonObject());
}

ApiReply ApiService::launchReport(const QString &kind, const FormFields &fields, const RequestInfo &info)
{
    m_store.recordLaunch(kind, fields.text(u"type"_s).left(40), fields.text(u"_uId"_s).left(64), info.remoteAddress);
    return ApiReply::success(QJsonObject{{u"count"_s, m_store.launchCount(kind)}});
}

ApiReply ApiService::constants() const
{
    return ApiReply::success(QJsonObject{{u"serviceName"_s, u"Quillo"_s},
                                         {u"apiVersion"_s, u"1"_s},
                                         {u"platforms"_s, QJsonArray{u"ios"_s, u"android"_s}},
                                         {u"maxUploadSize"_s, double(m_settings.maxUploadBytes)}});
}

ApiReply ApiService::checkUploadFields(const FormFields &fields)
{
    if (const ApiReply key = checkApiKey(fields); !key.ok())
        return key;
    const QString uKey = fields.text(u"uKey"_s).trimmed();
    if (uKey.isEmpty())
        return ApiReply::refusal(ApiReply::NotLoggedIn, u"缺少参数“uKey”，请先登录后再上传"_s);
    const auto user = m_store.userByKey(uKey);
    if (!user)
        return ApiReply::refusal(ApiReply::NotLoggedIn, u"用户不存在或登录已失效，请退出后重新登录"_s);
    const QString shortcut = fields.text(u"shortcut"_s).trimmed();
    if (!shortcut.isEmpty()) {
        if (const QString problem = checkShortcut(shortcut); !problem.isEmpty())
            return ApiReply::refusal(ApiReply::ShortcutInvalid, problem);
    }
    for (const QString &name : {u"isPublishToPublic"_s, u"publishRange"_s}) {
        const QString value = fields.text(name).trimmed();
        if (!value.isEmpty() && !isChoiceNumber(value))
            return ApiReply::refusal(ApiReply::InvalidField, u"参数“%1”应为数字，实际为“%2”"_s.arg(name, value.left(40)));
    }
    if (fields.text(u"name"_s).trimmed().size() > maxNameLength * 2)
        return ApiReply::refusal(ApiReply::InvalidField, u"应用名称不能超过 %1 个字符"_s.arg(maxNameLength * 2));
    return ApiReply::success({});
}

namespace {

// The application's settings and the release as the upload describes them, with the service's
// defaults; owner, suffix and stored paths are left to the caller.
Store::Publication publicationFor(const FormFields &fields, const PackageInfo &info, const ReceivedPackage &package)
{
    Store::Publication p;
    p.packageName = info.packageName;
    p.platform = info.platform;
    const QString formName = fields.text(u"name"_s).trimmed();
    p.appName = formName.isEmpty() ? info.name : formName;
    if (p.appName.isEmpty())
        p.appName = info.packageName;
    p.isPublishToPublic = fields.text(u"isPublishToPublic"_s).trimmed();
    if (p.isPublishToPublic.isEmpty())
        p.isPublishToPublic = u"1"_s;
    p.publishRange = fields.text(u"publishRange"_s).trimmed();
    if (p.publishRange.isEmpty())
        p.publishRange = u"2"_s;
    p.password = fields.text(u"password"_s);
    Store::Release &r = p.release;
    r.releaseKey = Passwords::randomKey(24);
    r.name = p.appName;
    r.version = info.version;
    r.build = info.build;
    r.packageName = info.packageName;
    r.platform = info.platform;
    r.fileName = package.fileName;
    r.size = package.size;
    r.sha256 = package.sha256;
    r.description = fields.text(u"updateDescription"_s);
    return p;
}

} // namespace

// Moves the package into the data folder and writes its icon; paths of what was written are
// added to written, so that they go again if the release is not stored.
bool ApiService::keepFiles(
    const ReceivedPackage &package, const PackageInfo &info, Store::Release *release, QStringList *written)
{
    const QString extension = info.platform == u"ios"_s ? u"ipa"_s : u"apk"_s;
    release->packagePath = u"packages/%1.%2"_s.arg(release->releaseKey, extension);
    const QString absolutePackage = m_settings.dataDir + u'/' + release->packagePath;
    QDir().mkpath(packagesDir(m_settings.dataDir));
    if (!QFile::rename(package.tempPath, absolutePackage)) {
        qCWarning(lcServer) << "cannot move" << package.tempPath << "to" << absolutePackage;
        return false;
    }
    written->append(absolutePackage);
    if (!info.icon.isEmpty()) {
        QDir().mkpath(iconsDir(m_settings.dataDir));
        const QString relative = u"icons/%1.png"_s.arg(release->releaseKey);
        QSaveFile icon(m_settings.dataDir + u'/' + relative);
        if (icon.open(QIODevice::WriteOnly) && icon.write(info.icon) == info.icon.size() && icon.commit()) {
            release->iconPath = relative;
            written->append(m_settings.dataDir + u'/' + relative);
        }
    }
    return true;
}

ApiReply ApiService::publishUpload(const FormFields &fields, const ReceivedPackage &package)
{
    struct Cleanup
    {
        QStringList paths;
        ~Cleanup()
        {
            for (const QString &path : paths)
                QFile::remove(path);
        }
    } cleanup{{package.tempPath}};

    if (const ApiReply r = checkUploadFields(fields); !r.ok())
        return r;
    const auto user = m_store.userByKey(fields.text(u"uKey"_s).trimmed());
    if (!user)
        return ApiReply::refusal(ApiReply::NotLoggedIn, u"用户不存在或登录已失效，请退出后重新登录"_s);
    if (package.size <= 0)
        return ApiReply::refusal(ApiReply::PackageUnreadable, u"上传的安装包是空文件，请重新选择安装包"_s);

    const PackageInfo info = PackageReader::read(package.tempPath, package.fileName);
    if (!info.error.isEmpty())
        return ApiReply::refusal(ApiReply::PackageUnreadable,
                                 u"无法读取安装包“%1”：%2。请确认上传的是完整的 .ipa 或 .apk 文件"_s.arg(package.fileName, info.error));

    const auto existing = m_store.appFor(user->id, info.packageName, info.platform);
    QString shortcut = fields.text(u"shortcut"_s).trimmed();
    if (shortcut.isEmpty())
        shortcut = existing ? existing->shortcut : proposeShortcut(info.packageName);

    Store::Publication p = publicationFor(fields, info, package);
    p.userId = user->id;
    p.shortcut = shortcut;
    if (!keepFiles(package, info, &p.release, &cleanup.paths))
        return ApiReply::refusal(ApiReply::Internal, u"保存安装包失败，请稍后重试"_s);

    Store::App app;
    switch (m_store.publish(p, &app)) {
    case Store::Result::Ok:
        break;
    case Store::Result::Conflict:
        return ApiReply::refusal(ApiReply::ShortcutTaken, u"网址后缀已存在，请更换"_s);
    case Store::Result::Failed:
        return ApiReply::refusal(ApiReply::Internal, u"保存发布记录失败，请稍后重试"_s);
    }
    cleanup.paths.clear(); // stored: keep the package and the icon
    qCInfo(lcServer).noquote() << "published" << info.packageName << info.version << u'(' + info.build + u')' << "as"
                               << app.shortcut << package.size << "bytes sha256" << package.sha256;
    return ApiReply::success(QJsonObject { { u"appShortcutUrl"_s, pageAddress(app) }, { u"appKey"_s, app.appKey },
        { u"appName"_s, app.name }, { u"appVersion"_s, info.version }, { u"appBuild"_s, info.build },
        { u"releaseKey"_s, p.release.releaseKey } });
}
