// The request envelope and the endpoint catalogue, end to end against a raw loopback peer.

#include "api/CloudClient.h"
#include "api/CloudClientRequest.h"
#include "api/FormRequest.h"
#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "tests/api/Gzip.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>

#include <functional>

using namespace Qt::StringLiterals;
using Peer = LoopbackHttpPeer;
using Reply = LoopbackHttpPeer::Reply;
using Fields = QMap<QString, QString>;

Q_DECLARE_METATYPE(LoopbackHttpPeer::Reply)

namespace {

Fields formFields(const QByteArray &body)
{
    Fields fields;
    for (const QByteArray &pair : body.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0)
            fields.insert(QString::fromUtf8(QByteArray::fromPercentEncoding(pair.left(equals))),
                          QString::fromUtf8(QByteArray::fromPercentEncoding(pair.mid(equals + 1))));
    }
    return fields;
}

// The fields an operation added, without the three every call carries.
Fields ownFields(const Peer::Request &request)
{
    Fields fields = formFields(request.body);
    for (const QString &common : { u"_uId"_s, u"_api_key"_s, u"_token"_s })
        fields.remove(common);
    return fields;
}

// Empty when the three common fields are there, the key with its value; otherwise what is wrong.
QString commonFieldsProblem(const Peer::Request &request)
{
    const Fields fields = formFields(request.body);
    QStringList problems;
    for (const QString &common : {u"_uId"_s, u"_api_key"_s, u"_token"_s}) {
        if (!fields.contains(common))
            problems.append(common + u" missing"_s);
    }
    if (fields.contains(u"_api_key"_s) && fields.value(u"_api_key"_s) != CloudClientRequest::kApiKey)
        problems.append(u"_api_key is "_s + fields.value(u"_api_key"_s));
    return problems.join(u", "_s);
}

QVariantMap error(const QString &code, const QString &message)
{
    return QVariantMap{{u"code"_s, code}, {u"message"_s, message}};
}

} // namespace

// A screen as the API sees it.
class Receiver : public QObject
{
    Q_OBJECT
public:
    QVariantList successes;
    QVariantList errors;
    QList<CloudClient *> clients;
    std::unique_ptr<CloudClient> cloudClient;
    std::function<void()> onSuccess;

public Q_SLOTS:
    void ok(const QVariant &data)
    {
        successes.append(data);
        if (onSuccess)
            onSuccess();
    }
    void fail(const QVariant &record) { errors.append(record); }
    void okWithClient(const QVariant &data, CloudClient *client)
    {
        successes.append(data);
        clients.append(client);
    }
};

// The envelope's own delegate, for calls made on CloudClientRequest directly.
class EnvelopeDelegate : public QObject
{
    Q_OBJECT
public:
    QList<std::pair<QVariantMap, QVariant>> outcomes;
    Q_INVOKABLE void done(const QVariantMap &userInfo, const QVariant &payload) { outcomes.append({userInfo, payload}); }
};

class TestCloudClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<Peer> m_peer;

    // Waits until the client's call has reported (or was dropped by the callback rules): a call
    // leaves the envelope in the same step that reports it.
    static bool settle(CloudClient *client, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([client] { return client->client()->pendingCallCount() == 0; }, timeoutMs);
    }

private Q_SLOTS:
    void init()
    {
        m_peer = std::make_unique<Peer>();
        qputenv("QUILLO_SERVICE_HOST", m_peer->hostPort().toUtf8());
        QFile::remove(Config::settingsFile());
        Preferences::reload();
        CloudClientRequest::setDefaultTimeout(std::chrono::milliseconds(60000));
    }

    void commonFieldsWhenNobodyIsLoggedIn()
    {
        Receiver receiver;
        auto client = CloudClient::getInstance();
        client->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
        QVERIFY(settle(client.get()));
        QCOMPARE(receiver.successes.size(), 1);
        const Peer::Request sent = m_peer->lastRequest();
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(sent.target, QByteArray("/apiv1/config/constants"));
        QCOMPARE(sent.body, QByteArray("_api_key=7c1e4a90d25b3f86e0a9c4d71b2f5e38&_token=&_uId="));
        QCOMPARE(sent.header("Host"), m_peer->hostPort().toUtf8());
        QCOMPARE(sent.header("Accept-Encoding"), QByteArray("gzip"));
    }

    void loggedInUserOverridesCallerFields()
    {
        const QString uid(32, u'u');
        QSLoginModel::setLoginWithUId(uid, QVariantMap{{u"u_api_token"_s, u"tok en"_s}});
        EnvelopeDelegate delegate;
        CloudClientRequest envelope;
        envelope.setDelegate(&delegate);
        envelope.setFinishSelector(u"done:errorInfo:"_s);
        envelope.setFinishErrorSelector(u"done:errorInfo:"_s);
        const QVariantMap mine{{u"_token"_s, u"mine"_s}, {u"page"_s, 3}};
        envelope.callMethodWithMod(u"user/listAll"_s, QVariant(), mine, QVariant(), QVariant(), QVariant(), this,
                                   u"a:"_s, u"b:"_s);
        QTRY_COMPARE(delegate.outcomes.size(), 1);
        QCOMPARE(formFields(m_peer->lastRequest().body),
                 (Fields{{u"_api_key"_s, CloudClientRequest::kApiKey}, {u"_token"_s, u"tok en"_s}, {u"_uId"_s, uid},
                         {u"page"_s, u"3"_s}}));
        const QVariantMap userInfo = delegate.outcomes.first().first;
        QCOMPARE(userInfo.value(u"selector"_s), QVariant(u"a:"_s));
        QCOMPARE(userInfo.value(u"errorSelector"_s), QVariant(u"b:"_s));
        QCOMPARE(userInfo.value(u"delegate"_s).value<QPointer<QObject>>().data(), this);
    }

    void everyOperationHasItsPathAndFields()
    {
        const QVariant a(u"A"_s), b(u"B"_s), c(u"C"_s), d(u"D"_s), page(2);
        using Call = std::function<void(CloudClient &, Receiver *)>;
        const QString s = u"ok:"_s, e = u"fail:"_s;
        const QList<std::tuple<Call, QByteArray, Fields>> cases = {
            {[&](CloudClient &k, Receiver *r) { k.userLogoutWithUId(a, r, s, e); }, "user/logout", {{u"uId"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.listAllUserOffCellByPage(page, r, s, e); }, "user/listAll", {{u"page"_s, u"2"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.listAllUserOffCellByKeyword(a, page, r, s, e); }, "user/listAll", {{u"page"_s, u"2"_s}, {u"keyword"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.listRecommendWithUId(a, r, s, e); }, "user/getRecommend", {{u"uId"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.getNewJoinedUserNumberWithMaxUId(a, r, s, e); }, "user/newNumber", {{u"uId"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.getAllUserCountOfCellwithDelegate(r, s, e); }, "user/allCount", {{u"x"_s, u"x"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.contactAddWithUId1(a, b, r, s, e); }, "contact/add", {{u"uId1"_s, u"A"_s}, {u"uId2"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.contactRemoveWithUid1(a, b, r, s, e); }, "contact/remove", {{u"uId1"_s, u"A"_s}, {u"uId2"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.contactListWithUid(a, r, s, e); }, "contact/listAll", {{u"uId"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.sendMobileValidCode(a, b, r, s, e); }, "user/sendMobileValidCode", {{u"mobile"_s, u"A"_s}, {u"token"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.userLoginWithMobile(a, b, r, s, e); }, "user/login", {{u"mobile"_s, u"A"_s}, {u"validCode"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.reportAddWithUID(a, b, c, r, s, e); }, "report/add", {{u"content"_s, u"B"_s}, {u"uId"_s, u"A"_s}, {u"phone"_s, u"C"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.searchApplicationWithName(a, page, r, s, e); }, "app/search", {{u"page"_s, u"2"_s}, {u"keyword"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.getApplicationInfoWithKey(a, b, r, s, e); }, "app/view", {{u"aKey"_s, u"A"_s}, {u"uKey"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.getApplicationHistoryVersionWithKey(a, page, r, s, e); }, "app/listAllHistoryVersions", {{u"aKey"_s, u"A"_s}, {u"page"_s, u"2"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.getApplicationCommentsWithKey(a, b, page, r, s, e); }, "app/listAllComments", {{u"aKey"_s, u"A"_s}, {u"uKey"_s, u"B"_s}, {u"page"_s, u"2"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.sendApplicationCommentWithKey(a, b, c, QVariant(), r, s, e); }, "app/addComment", {{u"aKey"_s, u"A"_s}, {u"uKey"_s, u"B"_s}, {u"content"_s, u"C"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.updateApplicationInfoWithAppKey(a, b, c, d, r, s, e); }, "app/update", {{u"aKey"_s, u"A"_s}, {u"column"_s, u"B"_s}, {u"value"_s, u"C"_s}, {u"uKey"_s, u"D"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.getApplicationKeyByShortcut(a, r, s, e); }, "app/getAppKeyByShortcut", {{u"shortcut"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.listMyPublishedAppWithUserKey(a, page, r, s, e); }, "user/listMyPublished", {{u"uKey"_s, u"A"_s}, {u"page"_s, u"2"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.listFollowedAppWithUserKey(a, page, r, s, e); }, "user/listFollowedApps", {{u"uKey"_s, u"A"_s}, {u"page"_s, u"2"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.followAppWithUserKey(a, b, r, s, e); }, "user/followApp", {{u"uKey"_s, u"A"_s}, {u"aKey"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.unfollowAppWithUserKey(a, b, r, s, e); }, "user/unfollowApp", {{u"uKey"_s, u"A"_s}, {u"aKey"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.deleteScreenshotWithKey(a, b, r, s, e); }, "app/removeScreenshot", {{u"iKey"_s, u"A"_s}, {u"aKey"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.syncAppStoreWithAppKey(a, b, r, s, e); }, "app/syncAppStore", {{u"aKey"_s, u"A"_s}, {u"uKey"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.loginWithEmail(a, b, r, s, e); }, "user/login", {{u"email"_s, u"A"_s}, {u"password"_s, u"B"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.registWithUserName(a, b, c, r, s, e); }, "user/register", {{u"email"_s, u"B"_s}, {u"name"_s, u"A"_s}, {u"password"_s, u"C"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.findPasswordWithEmail(a, r, s, e); }, "user/forgetPassword", {{u"email"_s, u"A"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.prepareUploadWithPackageName(a, b, c, r, s, e); }, "app/uploadPrepare", {{u"packageName"_s, u"A"_s}, {u"type"_s, u"B"_s}, {u"uKey"_s, u"C"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.getConfigConstants(r, s, e); }, "config/constants", {}},
            {[&](CloudClient &k, Receiver *r) { k.checkNewestVersion(a, r, s, e); }, "desktop/checkNewestVersion", {{u"releaseno"_s, u"A"_s}, {u"type"_s, u"mac"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.setLaunchLogWithDelegate(r, s, e); }, "desktop/launchLog", {{u"type"_s, u"mac"_s}}},
            {[&](CloudClient &k, Receiver *r) { k.setFirstLaunchWithDelegate(r, s, e); }, "desktop/firstLaunch", {{u"type"_s, u"mac"_s}}},
        };
        QCOMPARE(cases.size(), 33);
        Receiver receiver;
        for (const auto &[call, path, fields] : cases) {
            receiver.cloudClient = CloudClient::getInstance();
            call(*receiver.cloudClient, &receiver);
            QVERIFY(settle(receiver.cloudClient.get()));
            const Peer::Request sent = m_peer->lastRequest();
            QCOMPARE(sent.target, "/apiv1/" + path);
            QCOMPARE(commonFieldsProblem(sent), QString());
            QCOMPARE(ownFields(sent), fields);
        }
        QCOMPARE(receiver.successes.size(), 33);
    }

    void fieldsEndAtTheFirstAbsentArgument()
    {
        const QVariant absent;
        Receiver r;
        const QString s = u"ok:"_s, e = u"fail:"_s;
        const QList<std::pair<std::function<void(CloudClient &)>, Fields>> cases = {
            {[&](CloudClient &k) { k.prepareUploadWithPackageName(absent, u"ios"_s, u"K"_s, &r, s, e); }, {}},
            {[&](CloudClient &k) { k.prepareUploadWithPackageName(u"com.x"_s, absent, u"K"_s, &r, s, e); },
             {{u"packageName"_s, u"com.x"_s}}},
            {[&](CloudClient &k) { k.registWithUserName(u"N"_s, absent, u"P"_s, &r, s, e); }, {}},
            {[&](CloudClient &k) { k.registWithUserName(absent, u"E"_s, u"P"_s, &r, s, e); }, {{u"email"_s, u"E"_s}}},
            {[&](CloudClient &k) { k.reportAddWithUID(absent, u"C"_s, u"P"_s, &r, s, e); }, {{u"content"_s, u"C"_s}}},
            // These three always send both fields.
            {[&](CloudClient &k) { k.sendMobileValidCode(absent, absent, &r, s, e); },
             {{u"mobile"_s, QString()}, {u"token"_s, QString()}}},
            {[&](CloudClient &k) { k.userLoginWithMobile(u"138"_s, absent, &r, s, e); },
             {{u"mobile"_s, u"138"_s}, {u"validCode"_s, QString()}}},
            {[&](CloudClient &k) { k.searchApplicationWithName(absent, 1, &r, s, e); },
             {{u"page"_s, u"1"_s}, {u"keyword"_s, QString()}}},
        };
        for (const auto &[call, fields] : cases) {
            auto client = CloudClient::getInstance();
            call(*client);
            QVERIFY(settle(client.get()));
            QCOMPARE(commonFieldsProblem(m_peer->lastRequest()), QString());
            QCOMPARE(ownFields(m_peer->lastRequest()), fields);
        }
    }

    void callbacksAreRoutedByTheirArity()
    {
        m_peer->setReply(Reply::json("{\"code\":0,\"data\":{\"k\":1}}"));
        const QVariant data(QVariantMap{{u"k"_s, qlonglong(1)}});
        Receiver receiver;
        auto client = CloudClient::getInstance();
        client->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
        QVERIFY(settle(client.get()));
        QCOMPARE(receiver.successes, QVariantList{data});
        QVERIFY(receiver.clients.isEmpty());

        client->getConfigConstants(&receiver, u"okWithClient:client:"_s, u"fail:"_s);
        QVERIFY(settle(client.get()));
        QCOMPARE(receiver.successes.size(), 2);
        QCOMPARE(receiver.clients, QList<CloudClient *>{client.get()});

        for (const QString &name : {u"ok"_s, u"ok:a:b:"_s, u"missing:"_s}) {
            client->getConfigConstants(&receiver, name, name);
            QVERIFY(settle(client.get()));
        }
        QCOMPARE(receiver.successes.size(), 2);
        QVERIFY(receiver.errors.isEmpty());
    }

    void replacingTheClientCancelsItsCall()
    {
        m_peer->setHandler([](const Peer::Request &r) {
            const Reply reply = Reply::json("{\"code\":0,\"data\":\"" + r.path().split('/').last() + "\"}");
            return r.sequence == 0 ? Reply::hold(reply) : reply;
        });
        Receiver receiver;
        receiver.cloudClient = CloudClient::getInstance();
        receiver.cloudClient->findPasswordWithEmail(u"a@b.c"_s, &receiver, u"ok:"_s, u"fail:"_s);
        QTRY_COMPARE(m_peer->heldCount(), 1);
        receiver.cloudClient = CloudClient::getInstance();
        receiver.cloudClient->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
        QTRY_COMPARE(receiver.successes.size(), 1);
        m_peer->releaseHeld();
        // A call made after the release: its reply comes after the cancelled one would have.
        receiver.cloudClient->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
        QTRY_COMPARE(receiver.successes.size(), 2);
        QCOMPARE(receiver.successes, (QVariantList { u"constants"_s, u"constants"_s }));
        QVERIFY(receiver.errors.isEmpty());
    }

    void callbacksMayReplaceTheirClient()
    {
        Receiver receiver;
        int calls = 0;
        receiver.onSuccess = [&] {
            if (++calls == 1) {
                receiver.cloudClient = CloudClient::getInstance(); // destroys the calling client
                receiver.cloudClient->setLaunchLogWithDelegate(&receiver, u"ok:"_s, u"fail:"_s);
            }
        };
        receiver.cloudClient = CloudClient::getInstance();
        receiver.cloudClient->setFirstLaunchWithDelegate(&receiver, u"ok:"_s, u"fail:"_s);
        QTRY_COMPARE(receiver.successes.size(), 2);
        QCOMPARE(m_peer->lastRequest().target, QByteArray("/apiv1/desktop/launchLog"));
    }

    void destroyedTargetIsNeverCalled()
    {
        auto client = CloudClient::getInstance();
        auto *receiver = new Receiver;
        QPointer<Receiver> watch(receiver);
        client->getConfigConstants(receiver, u"ok:"_s, u"fail:"_s);
        delete receiver;
        QVERIFY(settle(client.get()));
        QVERIFY(watch.isNull());
        QCOMPARE(m_peer->requestCount(), 1);
    }

    void overlappingCallsReachTheirOwnCallers()
    {
        m_peer->setHandler([](const Peer::Request &r) {
            return Reply::json("{\"code\":0,\"data\":\"" + r.path().split('/').last() + "\"}");
        });
        Receiver first, second;
        auto client = CloudClient::getInstance();
        client->findPasswordWithEmail(u"x"_s, &first, u"ok:"_s, u"fail:"_s);
        client->getConfigConstants(&second, u"ok:"_s, u"fail:"_s);
        QVERIFY(settle(client.get()));
        QCOMPARE(first.successes, QVariantList{u"forgetPassword"_s});
        QCOMPARE(second.successes, QVariantList{u"constants"_s});
    }

    void destroyingTheEnvelopeCancelsEveryCall()
    {
        m_peer->setReply(Reply::hold(Reply::json("{\"code\":0}")));
        Receiver receiver;
        auto client = CloudClient::getInstance();
        client->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
        client->setLaunchLogWithDelegate(&receiver, u"ok:"_s, u"fail:"_s);
        QTRY_COMPARE(m_peer->heldCount(), 2);
        client.reset();
        QTRY_COMPARE(m_peer->openConnections(), 0);
        m_peer->releaseHeld();
        QCoreApplication::processEvents();
        QVERIFY(receiver.successes.isEmpty() && receiver.errors.isEmpty());
    }

    void outcomesOfReplies_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QVariant>("payload");
        const QVariantMap network = error(u"100"_s, u"网络请求错误，请稍后重试"_s);
        QTest::newRow("refusal under 500") << Reply::json("{\"code\":1002,\"message\":\"X\"}", 500) << false
                                           << QVariant(error(u"1002"_s, u"X"_s));
        QTest::newRow("refusal without message") << Reply::json("{\"code\":7}") << false
                                                 << QVariant(QVariantMap{{u"code"_s, u"7"_s}});
        QTest::newRow("OK") << Reply::typed("text/plain", "OK") << false
                            << QVariant(error(u"2"_s, u"服务器返回数据格式错误"_s));
        QTest::newRow("HTML 404") << Reply::typed("text/html", "<html>no</html>", 404) << false
                                  << QVariant(error(u"2"_s, u"服务器返回数据格式错误"_s));
        QTest::newRow("blank") << Reply::json(" \r\n \n") << false << QVariant(error(u"1"_s, u"服务器返回为空内容"_s));
        QTest::newRow("invalid UTF-8") << Reply::json("{\"code\":0,\"data\":\"\xFF\"}") << false
                                       << QVariant(error(u"1"_s, u"服务器返回为空内容"_s));
        QTest::newRow("GBK") << Reply::typed("application/json; charset=GBK", "{\"code\":0,\"data\":\"\xD6\xD0\"}")
                             << true << QVariant(u"中"_s);
        QTest::newRow("gzip") << Reply::json(gzipCompress("{\"code\":\"0\",\"data\":[1]}")).header("Content-Encoding", "gzip")
                              << true << QVariant(QVariantList{qlonglong(1)});
        QTest::newRow("array") << Reply::json("[{\"code\":5}]") << true << QVariant();
        QTest::newRow("401") << Reply::json("{\"code\":0}", 401) << false << QVariant(network);
        QTest::newRow("invalid gzip") << Reply::json("{\"code\":0}").header("Content-Encoding", "gzip") << false
                                      << QVariant(network);
        QTest::newRow("gzip bomb") << Reply::json(gzipBomb(64LL * 1024 * 1024)).header("Content-Encoding", "gzip")
                                   << false << QVariant(network);
        Reply endless = Reply::json("{");
        endless.mode = Reply::Mode::EndlessBody;
        QTest::newRow("endless body") << endless << false << QVariant(network);
        Reply closed;
        closed.mode = Reply::Mode::Close;
        QTest::newRow("closed") << closed << false << QVariant(network);
    }
    void outcomesOfReplies()
    {
        QFETCH(Reply, reply);
        QFETCH(bool, success);
        QFETCH(QVariant, payload);
        m_peer->setReply(reply);
        Receiver receiver;
        auto client = CloudClient::getInstance();
        client->loginWithEmail(u"a@b.c"_s, u"pw"_s, &receiver, u"ok:"_s, u"fail:"_s);
        QVERIFY(settle(client.get(), 20000));
        QCOMPARE(receiver.successes.size() + receiver.errors.size(), 1);
        QCOMPARE(receiver.successes.size(), success ? 1 : 0);
        QCOMPARE(success ? receiver.successes.first() : receiver.errors.first(), payload);
    }

    void transportFailuresAreError100()
    {
        const QVariant network(error(u"100"_s, u"网络请求错误，请稍后重试"_s));
        {
            qputenv("QUILLO_SERVICE_HOST", "127.0.0.1:9"); // refused
            Receiver receiver;
            auto client = CloudClient::getInstance();
            client->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
            QVERIFY(settle(client.get()));
            QCOMPARE(receiver.errors, QVariantList{network});
        }
        {
            // https: the peer sees a TLS handshake, not a request, and the call fails.
            qputenv("QUILLO_SERVICE_HOST", "https://" + m_peer->hostPort().toUtf8());
            Receiver receiver;
            auto client = CloudClient::getInstance();
            client->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
            QVERIFY(settle(client.get()));
            QCOMPARE(receiver.errors, QVariantList{network});
            QCOMPARE(m_peer->unparsedData().size(), 1);
            QVERIFY(m_peer->unparsedData().first().startsWith("\x16\x03")); // TLS handshake record
        }
        {
            qputenv("QUILLO_SERVICE_HOST", m_peer->hostPort().toUtf8());
            CloudClientRequest::setDefaultTimeout(std::chrono::milliseconds(600));
            m_peer->setReply(Reply::hold(Reply::json("{\"code\":0}")));
            Receiver receiver;
            auto client = CloudClient::getInstance();
            QElapsedTimer clock;
            clock.start();
            client->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
            QVERIFY(settle(client.get()));
            QCOMPARE(receiver.errors, QVariantList{network});
            QVERIFY(clock.elapsed() >= 850); // 1.5 times: the small body was never confirmed beyond its first write
        }
    }

    void filesImagesCookiesAndHeaders()
    {
        const QString first = TestEnvironment::path(u"one.txt"_s);
        const QString second = TestEnvironment::path(u"two.txt"_s);
        for (const auto &[path, content] : {std::pair(first, QByteArray("1")), std::pair(second, QByteArray("2"))}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        EnvelopeDelegate delegate;
        CloudClientRequest envelope;
        envelope.setDelegate(&delegate);
        envelope.setFinishSelector(u"done:errorInfo:"_s);
        envelope.setFinishErrorSelector(u"done:errorInfo:"_s);
        envelope.setImages({"JPEG"});
        envelope.callMethodWithMod(u"app/addComment"_s, QVariant(), QVariantMap{{u"k"_s, u"v"_s}},
                                   QStringList{first, u"/nonexistent/x"_s, second}, QVariantMap{{u"sid"_s, u"a b"_s}},
                                   QVariantMap{{u"host"_s, u"other.test:1"_s}, {u"X-A"_s, u"1"_s}}, this, u"a:"_s,
                                   u"b:"_s);
        QTRY_COMPARE(delegate.outcomes.size(), 1);
        const Peer::Request sent = m_peer->lastRequest();
        const QByteArray type = sent.header("Content-Type");
        const QByteArray b = type.mid(type.indexOf("boundary=") + 9);
        const QByteArray expected = "--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"_api_key\"\r\n\r\n" + CloudClientRequest::kApiKey.toUtf8() +
            "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"_token\"\r\n\r\n"
            "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"_uId\"\r\n\r\n"
            "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nv"
            "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"two.txt\"\r\n"
            "Content-Type: text/plain\r\n\r\n2"
            "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"image[]\"; filename=\"image.jpg\"\r\n"
            "Content-Type: image/jpeg\r\n\r\nJPEG"
            "\r\n--" + b + "--\r\n";
        QCOMPARE(sent.body, expected);
        QCOMPARE(sent.header("Cookie"), QByteArray("sid=a%20b"));
        QCOMPARE(sent.header("Host"), QByteArray("other.test:1"));
        QCOMPARE(sent.header("X-A"), QByteArray("1"));

        // Images stay with the envelope; with no map at all the call is a plain GET.
        envelope.callMethodWithMod(u"x/y"_s, QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), this,
                                   u"a:"_s, u"b:"_s);
        QTRY_COMPARE(delegate.outcomes.size(), 2);
        QCOMPARE(m_peer->lastRequest().method, QByteArray("GET"));
        QCOMPARE(envelope.images(), QList<QByteArray>{"JPEG"});
    }

    void replyIsLogged()
    {
        static QStringList lines;
        lines.clear();
        // A filter, not rules: the test runner's QT_LOGGING_RULES would win over rules.
        static QLoggingCategory::CategoryFilter defaultFilter = nullptr;
        defaultFilter = QLoggingCategory::installFilter([](QLoggingCategory *category) {
            if (defaultFilter) // null while the filter is being installed
                defaultFilter(category);
            if (qstrcmp(category->categoryName(), "quillo.api") == 0)
                category->setEnabled(QtDebugMsg, true);
        });
        const auto previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            lines.append(text);
        });
        m_peer->setReply(Reply::json("{\"code\":0}"));
        Receiver receiver;
        auto client = CloudClient::getInstance();
        client->loginWithEmail(u"a@b.c"_s, u"secret"_s, &receiver, u"ok:"_s, u"fail:"_s);
        QVERIFY(settle(client.get()));
        qInstallMessageHandler(previous);
        QLoggingCategory::installFilter(defaultFilter);
        QVERIFY(lines.contains(u"response -----> \n{\"code\":0}"_s));
        QVERIFY(!lines.join(u'\n').contains(u"secret"_s));
    }
};

QUILLO_TEST_MAIN(TestCloudClient)
#include "tst_cloudclient.moc"
