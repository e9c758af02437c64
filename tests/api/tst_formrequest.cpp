// The form transport against a raw loopback peer: what goes on the wire, redirects, time-outs,
// the limit of four exchanges, cancellation, and hostile replies.

#include "api/FormRequest.h"
#include "api/WireFormat.h"
#include "tests/api/Gzip.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>

using namespace Qt::StringLiterals;
using Peer = LoopbackHttpPeer;
using Reply = LoopbackHttpPeer::Reply;

namespace {

enum class End { Finished, Failed, Nothing, Both };

// Starts the request and waits for its one outcome (and for what was queued with it, to catch a
// second).
End run(FormRequest &request, int timeoutMs = 10000)
{
    QSignalSpy finished(&request, &FormRequest::finished);
    QSignalSpy failed(&request, &FormRequest::failed);
    request.start();
    if (!QTest::qWaitFor([&] { return !finished.isEmpty() || !failed.isEmpty(); }, timeoutMs))
        return End::Nothing;
    QCoreApplication::processEvents();
    if (finished.size() + failed.size() > 1)
        return End::Both;
    return finished.size() ? End::Finished : failed.size() ? End::Failed : End::Nothing;
}

QUrl urlOf(const Peer &peer, const QByteArray &path)
{
    return QUrl::fromEncoded(peer.url(path));
}

QString writeFile(const QString &name, const QByteArray &content)
{
    const QString path = TestEnvironment::path(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write a test file");
    return path;
}

QByteArray boundaryOf(const Peer::Request &request)
{
    const QByteArray type = request.header("Content-Type");
    return type.mid(type.indexOf("boundary=") + 9);
}

} // namespace

class TestFormRequest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void urlEncodedFormOnTheWire()
    {
        Peer peer;
        FormRequest request(urlOf(peer, "/apiv1/user/login"));
        request.setHeader(u"Host"_s, u"svc.test:8690"_s);
        request.setAcceptsGzip(true);
        request.setPostValue(u"k"_s, u"a b&c~"_s);
        request.setPostValue(u"z"_s, u"1"_s);
        request.setPostValue(u"k"_s, u"a b&c~"_s); // replaces, keeps its place
        QCOMPARE(run(request), End::Finished);
        QCOMPARE(request.responseStatusCode(), 200);
        QCOMPARE(request.responseString(), std::optional(u"{\"code\":0}"_s));

        const Peer::Request sent = peer.lastRequest();
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(sent.target, QByteArray("/apiv1/user/login"));
        QCOMPARE(sent.version, QByteArray("HTTP/1.1"));
        QCOMPARE(sent.headerNames(), (QList<QByteArray>{"Host", "User-Agent", "Accept-Encoding", "Content-Type",
                                                        "Content-Length"}));
        QCOMPARE(sent.header("Host"), QByteArray("svc.test:8690"));
        QCOMPARE(sent.header("User-Agent"), WireFormat::formUserAgent().toUtf8());
        QCOMPARE(sent.header("Accept-Encoding"), QByteArray("gzip"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/x-www-form-urlencoded; charset=utf-8"));
        QCOMPARE(sent.body, QByteArray("k=a%20b%26c%7E&z=1"));
        QCOMPARE(sent.header("Content-Length"), QByteArray::number(sent.body.size()));
    }

    void multipartWhenAFileIsAttached()
    {
        Peer peer;
        const QString first = writeFile(u"first.txt"_s, "first");
        const QString second = writeFile(u"second.txt"_s, QByteArray("line\r\n--not a boundary\r\n\0x", 27));
        FormRequest request(urlOf(peer, "/apiv1/app/addComment"));
        request.setPostValue(u"名"_s, u"值 v"_s);
        request.setPostValue(u"b"_s, u"2"_s);
        request.setFile(first, u"Filedata"_s);
        request.setFile(second, u"Filedata"_s); // replaces the first
        request.addData("JPEG1", u"image.jpg"_s, u"image/jpeg"_s, u"image[]"_s);
        request.addData("JPEG2", u"image.jpg"_s, u"image/jpeg"_s, u"image[]"_s);
        QCOMPARE(run(request), End::Finished);

        const Peer::Request sent = peer.lastRequest();
        const QByteArray b = boundaryOf(sent);
        QVERIFY(QRegularExpression(u"^0xKhTmLbOuNdArY-[0-9A-F-]{36}$"_s).match(QString::fromLatin1(b)).hasMatch());
        QCOMPARE(sent.header("Content-Type"), "multipart/form-data; charset=utf-8; boundary=" + b);
        const QByteArray expected = "--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"名\"\r\n\r\n值 v"
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"b\"\r\n\r\n2"
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"Filedata\"; filename=\"second.txt\"\r\n"
            "Content-Type: text/plain\r\n\r\n" + QByteArray("line\r\n--not a boundary\r\n\0x", 27) +
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"image[]\"; filename=\"image.jpg\"\r\n"
            "Content-Type: image/jpeg\r\n\r\nJPEG1"
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"image[]\"; filename=\"image.jpg\"\r\n"
            "Content-Type: image/jpeg\r\n\r\nJPEG2"
            "\r\n--" + b + "--\r\n";
        QCOMPARE(sent.body, expected);
        QCOMPARE(sent.header("Content-Length"), QByteArray::number(expected.size()));
        QVERIFY(!sent.hasHeader("Expect") && !sent.hasHeader("Accept"));
    }

    void plainRequestIsAGet()
    {
        Peer peer;
        FormRequest request(urlOf(peer, "/apiv1/x"));
        QCOMPARE(run(request), End::Finished);
        const Peer::Request sent = peer.lastRequest();
        QCOMPARE(sent.method, QByteArray("GET"));
        QCOMPARE(sent.headerNames(), (QList<QByteArray>{"Host", "User-Agent"}));
        QCOMPARE(sent.bodyLength, 0);
    }

    void cookiesAndCallerHeaders()
    {
        Peer peer;
        FormRequest request(urlOf(peer, "/apiv1/x"));
        const QDateTime later = QDateTime::currentDateTimeUtc().addDays(1);
        request.setCookies({{u"a"_s, u"1"_s, u".127.0.0.1"_s, u"/"_s, later},
                            {u"b"_s, u"x%20y"_s, u".127.0.0.1"_s, u"/"_s, later},
                            {u"elsewhere"_s, u"1"_s, u".example.org"_s, u"/"_s, later},
                            {u"stale"_s, u"1"_s, u".127.0.0.1"_s, u"/"_s, later.addDays(-2)},
                            {u"evil"_s, u"1\r\nX-Injected: 1"_s, u".127.0.0.1"_s, u"/"_s, later}});
        request.setHeader(u"User-Agent"_s, u"Mine/1"_s);
        request.setHeader(u"X-Bad"_s, u"v\r\nX-Injected: 1"_s);
        request.setPostValue(u"k"_s, u"v"_s);
        QCOMPARE(run(request), End::Finished);
        const Peer::Request sent = peer.lastRequest();
        QCOMPARE(sent.header("Cookie"), QByteArray("a=1; b=x%20y"));
        QCOMPARE(sent.header("User-Agent"), QByteArray("Mine/1"));
        QVERIFY(!sent.hasHeader("X-Injected") && !sent.hasHeader("X-Bad"));
    }

    void gzipAndCharsetReplies()
    {
        Peer peer;
        peer.setHandler([](const Peer::Request &r) {
            if (r.path() == "/gzip")
                return Reply::typed("application/json", gzipCompress("{\"code\":0,\"data\":\"压缩\"}"))
                    .header("Content-Encoding", "gzip");
            if (r.path() == "/gbk")
                return Reply::typed("text/html; charset=GBK", "\xD6\xD0\xCE\xC4");
            if (r.path() == "/bad-gzip")
                return Reply::typed("application/json", "definitely not gzip").header("Content-Encoding", "gzip");
            return Reply::typed("application/json", gzipCompress("{\"code\":0}").left(12))
                .header("Content-Encoding", "gzip");
        });
        FormRequest packed(urlOf(peer, "/gzip"));
        QCOMPARE(run(packed), End::Finished);
        QCOMPARE(packed.responseString(), std::optional(u"{\"code\":0,\"data\":\"压缩\"}"_s));
        FormRequest gbk(urlOf(peer, "/gbk"));
        QCOMPARE(run(gbk), End::Finished);
        QCOMPARE(gbk.responseString(), std::optional(u"中文"_s));
        FormRequest invalid(urlOf(peer, "/bad-gzip"));
        QCOMPARE(run(invalid), End::Failed);
        FormRequest truncated(urlOf(peer, "/truncated-gzip"));
        QCOMPARE(run(truncated), End::Failed);
    }

    void redirectsFollowedUpToFive_data()
    {
        QTest::addColumn<int>("hops");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("five") << 5 << true;
        QTest::newRow("six") << 6 << false;
    }
    void redirectsFollowedUpToFive()
    {
        QFETCH(int, hops);
        QFETCH(bool, succeeds);
        Peer peer;
        peer.setHandler([](const Peer::Request &r) {
            const int left = r.path().mid(3).toInt(); // "/r/<n>"
            return left == 0 ? Reply::json("{\"code\":0}") : Reply::redirect(302, "/r/" + QByteArray::number(left - 1));
        });
        FormRequest request(urlOf(peer, "/r/" + QByteArray::number(hops)));
        request.setPostValue(u"k"_s, u"v"_s);
        QCOMPARE(run(request), succeeds ? End::Finished : End::Failed);
        QCOMPARE(peer.requestCount(), 6);
        if (!succeeds)
            QCOMPARE(request.errorString(), u"The request failed because it redirected too many times"_s);
    }

    void redirectToGetKeepsOnlyAgentAndAccept_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("301") << 301;
        QTest::newRow("302") << 302;
        QTest::newRow("303") << 303;
    }
    void redirectToGetKeepsOnlyAgentAndAccept()
    {
        QFETCH(int, status);
        Peer peer;
        peer.setHandler([status](const Peer::Request &r) {
            return r.path() == "/next" ? Reply::json("{\"code\":0}") : Reply::redirect(status, "/next?x=1");
        });
        FormRequest request(urlOf(peer, "/start"));
        request.setHeader(u"Accept"_s, u"application/json"_s);
        request.setHeader(u"X-Extra"_s, u"1"_s);
        request.setAcceptsGzip(true);
        request.setCookies({{u"sid"_s, u"1"_s, u".127.0.0.1"_s, u"/"_s, QDateTime()}});
        request.setPostValue(u"k"_s, u"v"_s);
        QCOMPARE(run(request), End::Finished);
        QCOMPARE(peer.requestCount(), 2);
        const Peer::Request second = peer.request(1);
        QCOMPARE(second.method, QByteArray("GET"));
        QCOMPARE(second.target, QByteArray("/next?x=1"));
        QCOMPARE(second.bodyLength, 0);
        QCOMPARE(second.headerNames(), (QList<QByteArray>{"Host", "Accept", "User-Agent", "Accept-Encoding"}));
        QCOMPARE(second.header("Accept"), QByteArray("application/json"));
    }

    void redirect307RepeatsMethodAndBody()
    {
        Peer peer;
        peer.setHandler([](const Peer::Request &r) {
            return r.path() == "/again" ? Reply::json("{\"code\":0}") : Reply::redirect(307, "/again");
        });
        FormRequest request(urlOf(peer, "/start"));
        request.setCookies({{u"sid"_s, u"1"_s, u".127.0.0.1"_s, u"/"_s, QDateTime()}});
        request.setPostValue(u"k"_s, u"v"_s);
        request.setFile(writeFile(u"body.bin"_s, QByteArray(300 * 1024, 'q')), u"Filedata"_s);
        QCOMPARE(run(request), End::Finished);
        QCOMPARE(peer.requestCount(), 2);
        const Peer::Request first = peer.request(0);
        const Peer::Request second = peer.request(1);
        QCOMPARE(second.method, QByteArray("POST"));
        QCOMPARE(second.body, first.body);
        QVERIFY(second.body.size() > 300 * 1024);
        QCOMPARE(second.header("Cookie"), QByteArray("sid=1"));
        QVERIFY(first.header("Content-Type").startsWith("multipart/form-data; charset=utf-8; boundary="));
        QCOMPARE(second.header("Content-Type"), first.header("Content-Type"));
    }

    // The peer takes the request and never answers. A body that has not gone beyond the first
    // write gets 1.5 times the time-out; a GET, or a body sent well beyond its first write, gets
    // the time-out itself.
    void timeOutWithoutProgress_data()
    {
        QTest::addColumn<int>("bodyBytes"); // -1: GET
        QTest::addColumn<double>("factor");
        QTest::newRow("small POST") << 10 << 1.5;
        QTest::newRow("GET") << -1 << 1.0;
        QTest::newRow("large POST") << 8 * 1024 * 1024 << 1.0;
    }
    void timeOutWithoutProgress()
    {
        QFETCH(int, bodyBytes);
        QFETCH(double, factor);
        Peer peer;
        peer.setBodyRecordLimit(0);
        peer.setReply(Reply::hold(Reply::json("{}")));
        FormRequest request(urlOf(peer, "/stall"));
        request.setTimeout(std::chrono::milliseconds(800));
        if (bodyBytes == 10)
            request.setPostValue(u"k"_s, u"12345678"_s);
        else if (bodyBytes > 0)
            request.setFile(writeFile(u"large.bin"_s, QByteArray(bodyBytes, 'x')), u"Filedata"_s);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(run(request), End::Failed);
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(request.errorString(), u"The request timed out"_s);
        QVERIFY2(elapsed >= 800 * factor - 50 && elapsed < 800 * factor + 600, qPrintable(QString::number(elapsed)));
        QCOMPARE(peer.requestCount(), 1);
    }

    void stalledReplyBodyTimesOut()
    {
        Peer peer;
        Reply reply = Reply::json(QByteArray(1000, ' '));
        reply.mode = Reply::Mode::StallBody;
        peer.setReply(reply);
        FormRequest request(urlOf(peer, "/x"));
        request.setTimeout(std::chrono::milliseconds(500));
        QCOMPARE(run(request), End::Failed);
        QCOMPARE(request.errorString(), u"The request timed out"_s);
    }

    void authenticationChallengesFail()
    {
        Peer peer;
        peer.setHandler([](const Peer::Request &r) {
            return Reply::json("{\"code\":0}", r.path().mid(1).toInt());
        });
        for (const int status : {401, 407}) {
            FormRequest request(urlOf(peer, "/" + QByteArray::number(status)));
            QCOMPARE(run(request), End::Failed);
        }
        FormRequest serverError(urlOf(peer, "/500"));
        QCOMPARE(run(serverError), End::Finished);
        QCOMPARE(serverError.responseStatusCode(), 500);
    }

    void atMostFourExchangesAtOnce()
    {
        Peer peer;
        peer.setHandler([](const Peer::Request &r) {
            const Reply reply = Reply::json("{\"code\":0}");
            return r.sequence < 4 ? Reply::hold(reply) : reply;
        });
        std::vector<std::unique_ptr<FormRequest>> requests;
        int finished = 0;
        for (int i = 0; i < 6; ++i) {
            auto request = std::make_unique<FormRequest>(urlOf(peer, "/n/" + QByteArray::number(i)));
            connect(request.get(), &FormRequest::finished, this, [&finished] { ++finished; });
            request->start();
            requests.push_back(std::move(request));
        }
        QTRY_COMPARE(peer.heldCount(), 4);
        QTest::qWait(300);
        QCOMPARE(peer.requestCount(), 4);
        QCOMPARE(finished, 0);
        peer.releaseHeld();
        QTRY_COMPARE(finished, 6);
        QCOMPARE(peer.request(4).target, QByteArray("/n/4"));
        QCOMPARE(peer.request(5).target, QByteArray("/n/5"));
    }

    void cancelAndDetachReportNothing()
    {
        Peer peer;
        peer.setReply(Reply::hold(Reply::json("{}")));
        {
            // In flight: the connection goes away and nothing is reported.
            FormRequest request(urlOf(peer, "/held"));
            QSignalSpy finished(&request, &FormRequest::finished);
            QSignalSpy failed(&request, &FormRequest::failed);
            request.start();
            QTRY_COMPARE(peer.heldCount(), 1);
            request.cancel();
            QTRY_COMPARE(peer.openConnections(), 0);
            QCoreApplication::processEvents();
            QVERIFY(finished.isEmpty() && failed.isEmpty());
        }
        {
            // The outcome is already queued for the main thread when the request is cancelled.
            FormRequest request(urlOf(peer, "/held"));
            QSignalSpy finished(&request, &FormRequest::finished);
            QSignalSpy failed(&request, &FormRequest::failed);
            request.start();
            QTRY_COMPARE(peer.heldCount(), 1);
            peer.releaseHeld();
            QThread::msleep(300); // the reply arrives; its outcome waits in the event queue
            request.cancel();
            QCoreApplication::processEvents(); // the queued outcome is handled, and dropped
            QVERIFY(finished.isEmpty() && failed.isEmpty());
        }
        {
            // Destroyed with its outcome queued: nothing reaches the freed object.
            auto *request = new FormRequest(urlOf(peer, "/held"));
            int emitted = 0;
            connect(request, &FormRequest::finished, this, [&emitted] { ++emitted; });
            request->start();
            QTRY_COMPARE(peer.heldCount(), 1);
            peer.releaseHeld();
            QThread::msleep(300);
            delete request;
            QCoreApplication::processEvents();
            QCOMPARE(emitted, 0);
        }
    }

    void hostileRepliesEndInOneFailure_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("endless body") << 0;
        QTest::newRow("gzip bomb") << 1;
        QTest::newRow("truncated body") << 2;
        QTest::newRow("not HTTP") << 3;
        QTest::newRow("closed without reply") << 4;
        QTest::newRow("huge header") << 5;
    }
    void hostileRepliesEndInOneFailure()
    {
        QFETCH(int, kind);
        Peer peer;
        Reply reply = Reply::json("{\"code\":0}");
        switch (kind) {
        case 0:
            reply.mode = Reply::Mode::EndlessBody;
            break;
        case 1:
            reply = Reply::json(gzipBomb(64LL * 1024 * 1024)).header("Content-Encoding", "gzip");
            break;
        case 2:
            reply.mode = Reply::Mode::Raw;
            reply.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"code\":0";
            break;
        case 3:
            reply.mode = Reply::Mode::Raw;
            reply.raw = "HELLO THERE\r\n\r\n";
            break;
        case 4:
            reply.mode = Reply::Mode::Close;
            break;
        case 5:
            reply.header("X-Big", QByteArray(2 * 1024 * 1024, 'h'));
            break;
        }
        peer.setReply(reply);
        FormRequest request(urlOf(peer, "/x"));
        QCOMPARE(run(request, 20000), End::Failed);
        QVERIFY(request.responseData().size() <= FormRequest::kMaxReplyBytes);
    }

    void proxyFromTheEnvironmentIsUsed()
    {
        Peer proxy;
        Peer direct;
        proxy.setHandler([](const Peer::Request &r) {
            return r.path().endsWith("/deny") ? Reply::json("{}", 407) : Reply::json("{\"via\":\"proxy\"}");
        });
        qputenv("http_proxy", "http://" + proxy.hostPort().toUtf8());
        const auto restore = qScopeGuard([] {
            qunsetenv("http_proxy");
            qunsetenv("no_proxy");
        });
        FormRequest viaProxy(urlOf(direct, "/apiv1/x"));
        QCOMPARE(run(viaProxy), End::Finished);
        QCOMPARE(proxy.lastRequest().target, direct.url("/apiv1/x"));
        QCOMPARE(viaProxy.responseString(), std::optional(u"{\"via\":\"proxy\"}"_s));

        FormRequest denied(urlOf(direct, "/apiv1/deny"));
        QCOMPARE(run(denied), End::Failed);

        qputenv("no_proxy", "127.0.0.1");
        FormRequest bypass(urlOf(direct, "/apiv1/y"));
        QCOMPARE(run(bypass), End::Finished);
        QCOMPARE(direct.lastRequest().target, QByteArray("/apiv1/y"));
        QCOMPARE(proxy.requestCount(), 2);
    }
};

QUILLO_TEST_MAIN(TestFormRequest)
#include "tst_formrequest.moc"
