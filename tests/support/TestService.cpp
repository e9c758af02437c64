#include "tests/support/TestService.h"

#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <httplib.h>
#include <sqlite3.h>

#include <atomic>
#include <csignal>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;

namespace {

using Fixtures::readAll;

std::string std8(const QByteArray &bytes)
{
    return std::string(bytes.constData(), size_t(bytes.size()));
}

TestService::Reply toReply(const httplib::Result &result)
{
    TestService::Reply reply;
    if (!result) {
        reply.error = QString::fromStdString(httplib::to_string(result.error()));
        return reply;
    }
    reply.status = result->status;
    reply.body = QByteArray::fromStdString(result->body);
    reply.contentType = QByteArray::fromStdString(result->get_header_value("Content-Type"));
    const QJsonDocument json = QJsonDocument::fromJson(reply.body);
    if (json.isObject())
        reply.envelope = json.object().toVariantMap();
    return reply;
}

// Runs a read-only query on the server's database; each row as its column texts.
QList<QStringList> query(const QString &dataDir, const char *sql)
{
    QList<QStringList> rows;
    sqlite3 *db = nullptr;
    const QByteArray path = QFile::encodeName(dataDir + u"/quillo.db"_s);
    if (sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            QStringList row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, i));
                row.append(text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt, i)) : QString());
            }
            rows.append(row);
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

QStringList filesIn(const QString &dir)
{
    QStringList list;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System))
        list.append(dir + u'/' + name);
    return list;
}

} // namespace

int TestService::Reply::code() const
{
    const QVariant value = envelope.value(u"code"_s);
    return value.isValid() ? value.toInt() : -1;
}

QString TestService::Reply::message() const
{
    return envelope.value(u"message"_s).toString();
}

QVariantMap TestService::Reply::data() const
{
    return envelope.value(u"data"_s).toMap();
}

TestService::TestService(const QStringList &extraArguments)
    : TestService(extraArguments, true)
{
}

TestService::TestService(const QStringList &extraArguments, bool strict)
{
    static std::atomic<int> counter{0};
    const QString folder = TestEnvironment::path(u"service-%1/x"_s.arg(++counter));
    const QString root = QFileInfo(folder).absolutePath();
    m_dataDir = root + u"/data"_s;
    m_outFile = root + u"/stdout.txt"_s;
    m_errFile = root + u"/stderr.txt"_s;
    m_arguments = QStringList{u"--listen"_s, u"127.0.0.1:0"_s, u"--data"_s, m_dataDir} + extraArguments;
    if (strict)
        m_arguments.append(u"--strict"_s);
}

TestService::~TestService()
{
    stop();
}

bool TestService::start()
{
    if (isRunning())
        return true;
    const QString program = TestEnvironment::binDir() + u"/quillo-server"_s;
    if (!QFileInfo(program).isExecutable()) {
        m_error = u"quillo-server is not built: "_s + program;
        return false;
    }
    QFile::remove(m_outFile);
    QFile::remove(m_errFile);
    m_process.setStandardOutputFile(m_outFile);
    m_process.setStandardErrorFile(m_errFile);
    // A test that crashes takes its server with it.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.start(program, m_arguments);
    if (!m_process.waitForStarted(10000)) {
        m_error = u"cannot start quillo-server: "_s + m_process.errorString();
        return false;
    }
    // The first line on stdout is "listening on http://127.0.0.1:<port>" once it accepts connections.
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        const QByteArray out = readAll(m_outFile);
        const qsizetype end = out.indexOf('\n');
        if (end >= 0) {
            const QByteArray first = out.left(end);
            const QByteArray prefix = "listening on http://127.0.0.1:";
            if (!first.startsWith(prefix)) {
                m_error = u"unexpected first line: "_s + QString::fromUtf8(first);
                stop();
                return false;
            }
            m_port = quint16(first.mid(prefix.size()).toUInt());
            return m_port != 0;
        }
        if (m_process.state() == QProcess::NotRunning || m_process.waitForFinished(20)) {
            m_error = u"quillo-server ended before listening: "_s + QString::fromUtf8(readAll(m_errFile));
            return false;
        }
    }
    m_error = u"quillo-server did not report listening within 20 s"_s;
    stop();
    return false;
}

int TestService::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool TestService::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

qint64 TestService::processId() const
{
    return m_process.processId();
}

QString TestService::host() const
{
    return u"127.0.0.1:%1"_s.arg(m_port);
}

QString TestService::baseUrl() const
{
    return u"http://"_s + host();
}

QByteArray TestService::log() const
{
    return readAll(m_errFile);
}

QByteArray TestService::output() const
{
    return readAll(m_outFile);
}

void TestService::setAsServiceHost() const
{
    qputenv("QUILLO_SERVICE_HOST", host().toUtf8());
}

QByteArray TestService::formEncode(const QString &text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        const uchar b = uchar(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '_' || b == '.')
            out.append(c);
        else
            out.append('%').append(QByteArray::number(b, 16).rightJustified(2, '0').toUpper());
    }
    return out;
}

QByteArray TestService::formBody(const Fields &fields)
{
    QByteArray body;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            body.append('&');
        body.append(formEncode(fields.at(i).first)).append('=').append(formEncode(fields.at(i).second));
    }
    return body;
}

TestService::Reply TestService::call(const QString &moduleAction, const Fields &fields, const Account *as) const
{
    Fields all;
    for (const auto &field : fields) {
        if (field.first != u"_uId"_s && field.first != u"_api_key"_s && field.first != u"_token"_s)
            all.append(field);
    }
    all.append({u"_uId"_s, as ? as->userKey : QString()});
    all.append({u"_api_key"_s, u"7c1e4a90d25b3f86e0a9c4d71b2f5e38"_s});
    all.append({u"_token"_s, as ? as->token : QString()});
    return request("POST", u"/apiv1/"_s + moduleAction,
                   {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"},
                    {"Accept-Encoding", "gzip"},
                    {"User-Agent", "Quillo 1.0.0 (Macintosh; Mac OS X 13.0.0; zh_CN)"}},
                   formBody(all));
}

TestService::Reply TestService::request(const QByteArray &method, const QString &path,
                                        const QList<std::pair<QByteArray, QByteArray>> &headers, const QByteArray &body) const
{
    httplib::Client client("127.0.0.1", m_port);
    client.set_connection_timeout(5);
    client.set_read_timeout(120);
    client.set_write_timeout(120);
    httplib::Request req;
    req.method = std8(method);
    req.path = path.toStdString();
    for (const auto &[name, value] : headers)
        req.headers.emplace(std8(name), std8(value));
    req.body = std8(body);
    return toReply(client.send(req));
}

QString TestService::newUploadBoundary()
{
    auto hex = [] { return QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, u'0').toUpper(); };
    return u"Boundary+"_s + hex() + hex();
}

QByteArray TestService::uploadBody(const Fields &sortedFields, const QString &fileName, const QByteArray &fileBytes,
                                   const QString &boundary)
{
    const QByteArray b = boundary.toUtf8();
    QByteArray body = "--" + b + "\r\n";
    for (const auto &[name, value] : sortedFields) {
        body += "Content-Disposition: form-data; name=\"" + name.toUtf8() + "\"\r\n\r\n" + value.toUtf8();
        body += "\r\n--" + b + "\r\n";
    }
    const QByteArray type = fileName.endsWith(u"ipa"_s) ? "application/iphone-package-archive"
                                                        : "application/vnd.android.package-archive";
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName.toUtf8() + "\"\r\n";
    body += "Content-Type: " + type + "\r\n\r\n";
    body += fileBytes;
    body += "\r\n--" + b + "--\r\n";
    return body;
}

TestService::Fields TestService::uploadFields(const Account &account, const UploadOptions &options)
{
    // Ascending by name, as the client sends them.
    return {{u"_api_key"_s, u"7c1e4a90d25b3f86e0a9c4d71b2f5e38"_s},
            {u"isPublishToPublic"_s, options.isPublishToPublic},
            {u"name"_s, options.name},
            {u"password"_s, options.password},
            {u"publishRange"_s, options.publishRange},
            {u"shortcut"_s, options.shortcut},
            {u"uKey"_s, account.userKey},
            {u"updateDescription"_s, options.description}};
}

TestService::Fields TestService::uploadFields(const Account &account)
{
    return uploadFields(account, UploadOptions());
}

TestService::Reply TestService::upload(const Account &account, const QString &packagePath) const
{
    return upload(account, packagePath, UploadOptions());
}

TestService::Reply TestService::upload(const Account &account, const QString &packagePath, const UploadOptions &options) const
{
    const QString boundary = newUploadBoundary();
    const QByteArray body = uploadBody(uploadFields(account, options), QFileInfo(packagePath).fileName(), readAll(packagePath),
                                       boundary);
    return request("POST", u"/apiv1/app/upload"_s,
                   {{"Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8()},
                    {"Accept-Language", "zh-Hans-CN;q=1, en-CN;q=0.9"},
                    {"User-Agent", "quillo/1.0.0 (Mac OS X 13.0)"}},
                   body);
}

TestService::Account TestService::registerAndLogin(const QString &email, const QString &password, const QString &name) const
{
    static std::atomic<int> counter{0};
    Account account;
    account.email = email.isEmpty() ? u"user%1-%2@example.com"_s.arg(QCoreApplication::applicationPid()).arg(++counter) : email;
    account.password = password;
    account.name = name;
    const Reply registered = call(u"user/register"_s, {{u"email"_s, account.email}, {u"name"_s, name}, {u"password"_s, password}});
    if (registered.code() != 0) {
        account.error = u"register: "_s + (registered.error.isEmpty() ? registered.message() : registered.error);
        return account;
    }
    const Reply login = call(u"user/login"_s, {{u"email"_s, account.email}, {u"password"_s, password}});
    if (login.code() != 0) {
        account.error = u"login: "_s + (login.error.isEmpty() ? login.message() : login.error);
        return account;
    }
    account.loginData = login.data();
    account.userKey = account.loginData.value(u"userKey"_s).toString();
    account.token = account.loginData.value(u"u_api_token"_s).toString();
    return account;
}

QList<TestService::StoredRelease> TestService::releases() const
{
    QList<StoredRelease> list;
    const auto rows = query(m_dataDir, "SELECT a.shortcut, a.app_key, r.name, r.version, r.build, r.package_name, r.platform, "
                                       "r.file_name, r.package_path, r.size, r.sha256, r.description, a.password "
                                       "FROM releases r JOIN apps a ON a.id = r.app_id ORDER BY r.id");
    for (const QStringList &row : rows) {
        StoredRelease r;
        r.shortcut = row.at(0);
        r.appKey = row.at(1);
        r.name = row.at(2);
        r.version = row.at(3);
        r.build = row.at(4);
        r.packageName = row.at(5);
        r.platform = row.at(6);
        r.fileName = row.at(7);
        r.packagePath = m_dataDir + u'/' + row.at(8);
        r.size = row.at(9).toLongLong();
        r.sha256 = row.at(10);
        r.description = row.at(11);
        r.password = row.at(12);
        list.append(r);
    }
    return list;
}

QStringList TestService::outboxFiles() const
{
    return filesIn(m_dataDir + u"/outbox"_s);
}

qint64 TestService::launchCount(const QString &kind) const
{
    const QByteArray sql = "SELECT COUNT(*) FROM launches WHERE kind = '" + kind.toUtf8().replace('\'', "''") + "'";
    const auto rows = query(m_dataDir, sql.constData());
    return rows.isEmpty() ? 0 : rows.constFirst().value(0).toLongLong();
}

QStringList TestService::temporaryFiles() const
{
    return filesIn(m_dataDir + u"/tmp"_s);
}

QStringList TestService::packageFiles() const
{
    return filesIn(m_dataDir + u"/packages"_s);
}
