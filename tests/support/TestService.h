#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <utility>

// Runs the built quillo-server for a test: on a free loopback port, in strict mode (it refuses
// any request whose form departs from the desktop client's wire format), with a private data
// folder below the test's temporary folder. The destructor stops it.
//
//     TestService service;                       // extra arguments: TestService({u"--seed-demo"_s})
//     QVERIFY2(service.start(), qPrintable(service.errorString()));
//     service.setAsServiceHost();                // QUILLO_SERVICE_HOST=127.0.0.1:<port> for this process
//     const TestService::Account me = service.registerAndLogin();
//     QVERIFY2(me.valid(), qPrintable(me.error));
//     const TestService::Reply r = service.upload(me, apkPath, {.shortcut = u"demo"_s});
//     QCOMPARE(r.code(), 0);
//     QCOMPARE(service.releases().size(), 1);
//
// The helpers speak the client's wire format byte for byte (URL-encoded forms with the three
// common fields, the upload's "Boundary+…" multipart with its eight fields in name order), so a
// strict server accepts them; they use their own HTTP client, never the program's.
class TestService final
{
public:
    using Fields = QList<std::pair<QString, QString>>;

    struct Reply
    {
        int status = 0;          // HTTP status, 0 when no reply came
        QByteArray body;         // inflated
        QByteArray contentType;
        QVariantMap envelope;    // the JSON reply, when it is one
        QString error;           // transport failure, empty otherwise

        int code() const;        // envelope "code" (-1 without an envelope)
        QString message() const;
        QVariantMap data() const;
    };

    struct Account
    {
        QString email;
        QString password;
        QString name;
        QString userKey;  // "userKey" of the login reply
        QString token;    // "u_api_token" of the login reply
        QVariantMap loginData;
        QString error;    // why registration or login failed
        bool valid() const { return !userKey.isEmpty() && !token.isEmpty(); }
    };

    // The eight text fields of an upload besides "_api_key" and "uKey".
    struct UploadOptions
    {
        QString shortcut;
        QString name;
        QString password;
        QString description;
        QString publishRange = QStringLiteral("2");
        QString isPublishToPublic = QStringLiteral("1");
    };

    // One release as the server stored it.
    struct StoredRelease
    {
        QString shortcut;
        QString appKey;
        QString name;
        QString version;
        QString build;
        QString packageName;
        QString platform;
        QString fileName;
        QString packagePath; // absolute
        qint64 size = 0;
        QString sha256;
        QString description;
        QString password;    // the application's install password
    };

    explicit TestService(const QStringList &extraArguments = {});
    // strict false: without --strict, for what only a lenient server accepts (curl -F, chunked bodies).
    TestService(const QStringList &extraArguments, bool strict);
    ~TestService();
    TestService(const TestService &) = delete;
    TestService &operator=(const TestService &) = delete;

    // Starts the server and waits (up to 20 s) for its "listening on" line.
    bool start();
    // SIGTERM, then SIGKILL after 10 s. Returns the exit code (-1 when it had to be killed or crashed).
    int stop();
    bool isRunning() const;
    QString errorString() const { return m_error; }
    qint64 processId() const;

    QString host() const;    // "127.0.0.1:<port>"
    quint16 port() const { return m_port; }
    QString baseUrl() const; // "http://127.0.0.1:<port>"
    QString dataDir() const { return m_dataDir; }
    QByteArray log() const;  // what the server wrote on stderr so far
    QByteArray output() const; // what it wrote on stdout so far
    void setAsServiceHost() const;

    // The client's URL-encoding of one name or value.
    static QByteArray formEncode(const QString &text);
    // A URL-encoded body as the client writes it.
    static QByteArray formBody(const Fields &fields);
    // POST /apiv1/<moduleAction> as the client's form transport sends it: the fields, then the
    // three common fields (uid and token of as, or empty).
    Reply call(const QString &moduleAction, const Fields &fields = {}, const Account *as = nullptr) const;
    // Any request; headers besides Host (which the client sets) as given.
    Reply request(const QByteArray &method, const QString &path, const QList<std::pair<QByteArray, QByteArray>> &headers = {},
                  const QByteArray &body = {}) const;
    Reply get(const QString &path) const { return request("GET", path); }

    // The upload body as the client's upload transport writes it, with its boundary.
    static QByteArray uploadBody(const Fields &sortedFields, const QString &fileName, const QByteArray &fileBytes,
                                 const QString &boundary);
    static QString newUploadBoundary();
    static Fields uploadFields(const Account &account, const UploadOptions &options);
    static Fields uploadFields(const Account &account);
    Reply upload(const Account &account, const QString &packagePath, const UploadOptions &options) const;
    Reply upload(const Account &account, const QString &packagePath) const;

    // user/register then user/login; a fresh address when email is empty.
    Account registerAndLogin(const QString &email = {}, const QString &password = QStringLiteral("secret123"),
                             const QString &name = QStringLiteral("测试用户")) const;

    // Read-only looks at the server's data folder.
    QList<StoredRelease> releases() const;
    QStringList outboxFiles() const;
    qint64 launchCount(const QString &kind) const; // "first" or "launch"
    QStringList temporaryFiles() const;             // unfinished uploads in its temporary folder
    QStringList packageFiles() const;               // stored packages

private:
    QStringList m_arguments;
    QString m_dataDir;
    QString m_outFile;
    QString m_errFile;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
