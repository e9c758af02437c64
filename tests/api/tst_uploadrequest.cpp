// The upload transport against a raw loopback peer: framing, progress, acceptance of replies,
// a missing file, cancellation and the stall guard.

#include "api/UploadRequest.h"
#include "api/WireFormat.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"

#include <QFile>
#include <QSignalSpy>
#include <QThread>

using namespace Qt::StringLiterals;
using Peer = LoopbackHttpPeer;
using Reply = LoopbackHttpPeer::Reply;

namespace {

QString writeFile(const QString &name, const QByteArray &content)
{
    const QString path = TestEnvironment::path(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write a test file");
    return path;
}

// A file of that size without writing its bytes (reads as zeros).
QString sparseFile(const QString &name, qint64 size)
{
    const QString path = TestEnvironment::path(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        qFatal("cannot make a sparse file");
    return path;
}

const QVariantMap kParameters{{u"b_key"_s, u"2"_s}, {u"_api_key"_s, u"k"_s}, {u"a_key"_s, 1}, {u"名字"_s, u"值"_s}};

} // namespace

class TestUploadRequest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framingHeadersAndSortedFields()
    {
        Peer peer;
        const QByteArray content = QByteArray("PK\x03\x04", 4) + QByteArray(100 * 1024, 'z') + "\r\n--end";
        UploadRequest upload(QUrl::fromEncoded(peer.url("/apiv1/app/upload")), kParameters,
                             writeFile(u"My App.ipa"_s, content), u"file"_s, u"My App.ipa"_s,
                             u"application/iphone-package-archive"_s);
        QSignalSpy finished(&upload, &UploadRequest::finished);
        upload.start();
        QVERIFY(finished.wait());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().at(0).toInt(), 200);
        QCOMPARE(finished.first().at(2).toString(), QString());

        const Peer::Request sent = peer.lastRequest();
        const QByteArray b = upload.boundary().toUtf8();
        QVERIFY(b.startsWith("Boundary+") && b.size() == 25);
        const QByteArray expected = "--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"_api_key\"\r\n\r\nk"
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"a_key\"\r\n\r\n1"
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"b_key\"\r\n\r\n2"
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"名字\"\r\n\r\n值"
            "\r\n--" + b + "\r\n"
            "Content-Disposition: form-data; name=\"file\"; filename=\"My App.ipa\"\r\n"
            "Content-Type: application/iphone-package-archive\r\n\r\n" + content +
            "\r\n--" + b + "--\r\n";
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(sent.target, QByteArray("/apiv1/app/upload"));
        QCOMPARE(sent.body, expected);
        QCOMPARE(upload.contentLength(), expected.size());
        QCOMPARE(sent.headerNames(), (QList<QByteArray>{"Host", "Content-Type", "Content-Length", "Accept-Language",
                                                        "User-Agent"}));
        QCOMPARE(sent.header("Host"), peer.hostPort().toUtf8());
        QCOMPARE(sent.header("Content-Type"), "multipart/form-data; boundary=" + b);
        QCOMPARE(sent.header("Content-Length"), QByteArray::number(expected.size()));
        QCOMPARE(sent.header("Accept-Language"), QByteArray("en;q=1"));
        QCOMPARE(sent.header("User-Agent"), WireFormat::uploadUserAgent().toUtf8());
    }

    void missingFileSendsTheParametersAlone()
    {
        Peer peer;
        const QString path = writeFile(u"gone.apk"_s, "data");
        QFile::remove(path);
        UploadRequest upload(QUrl::fromEncoded(peer.url("/apiv1/app/upload")), {{u"k"_s, u"v"_s}}, path, u"file"_s,
                             u"gone.apk"_s, u"application/vnd.android.package-archive"_s);
        QVERIFY(!upload.hasFilePart());
        QSignalSpy finished(&upload, &UploadRequest::finished);
        upload.start();
        QVERIFY(finished.wait());
        const QByteArray b = upload.boundary().toUtf8();
        QCOMPARE(peer.lastRequest().body,
                 "--" + b + "\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nv\r\n--" + b + "--\r\n");
        QCOMPARE(peer.lastRequest().header("Content-Length"), QByteArray::number(upload.contentLength()));
    }

    // Progress is counted in body bytes up to the whole body, never goes back, and at most one
    // progress event waits in the queue however long the main thread is busy.
    void progressIsMonotonicAndCoalesced()
    {
        Peer peer;
        peer.setBodyRecordLimit(0);
        UploadRequest upload(QUrl::fromEncoded(peer.url("/apiv1/app/upload")), kParameters,
                             sparseFile(u"big.ipa"_s, 768LL * 1024 * 1024), u"file"_s, u"big.ipa"_s,
                             u"application/octet-stream"_s);
        QList<qint64> sent;
        connect(&upload, &UploadRequest::progress, this, [&](qint64 done, qint64 total) {
            QCOMPARE(total, upload.contentLength());
            sent.append(done);
        });
        QSignalSpy finished(&upload, &UploadRequest::finished);
        upload.start();
        QThread::msleep(300); // the network thread keeps sending meanwhile
        QCOMPARE(sent.size(), 0);
        QCoreApplication::processEvents();
        QVERIFY2(sent.size() <= 3, qPrintable(QString::number(sent.size())));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
        QCOMPARE(finished.first().at(0).toInt(), 200);
        QVERIFY(!sent.isEmpty());
        QCOMPARE(sent.last(), upload.contentLength());
        QVERIFY(std::is_sorted(sent.cbegin(), sent.cend()));
        QCOMPARE(peer.lastRequest().bodyLength, upload.contentLength());
    }

    void replyAcceptance_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QVariant>("json");
        QTest::addColumn<QString>("error");
        const QVariantMap parsed{{u"code"_s, qlonglong(0)}};
        QTest::newRow("json") << 200 << QByteArray("application/json") << QByteArray("{\"code\":0}")
                              << QVariant(parsed) << QString();
        QTest::newRow("text/json") << 201 << QByteArray("text/json") << QByteArray("{\"code\":0}")
                                   << QVariant(parsed) << QString();
        QTest::newRow("javascript") << 299 << QByteArray("text/javascript; charset=utf-8")
                                    << QByteArray("{\"code\":0}") << QVariant(parsed) << QString();
        QTest::newRow("one space") << 200 << QByteArray("application/json") << QByteArray(" ") << QVariant()
                                   << QString();
        QTest::newRow("html") << 200 << QByteArray("text/html") << QByteArray("{\"code\":0}") << QVariant()
                              << u"Request failed: unacceptable content-type: text/html"_s;
        QTest::newRow("no type") << 200 << QByteArray() << QByteArray("{}") << QVariant()
                                 << u"Request failed: unacceptable content-type: (none)"_s;
        QTest::newRow("500 json") << 500 << QByteArray("application/json") << QByteArray("{\"code\":0}")
                                  << QVariant(parsed) << u"Request failed: internal server error (500)"_s;
        QTest::newRow("404 html") << 404 << QByteArray("text/html") << QByteArray("<p>") << QVariant()
                                  << u"Request failed: not found (404)"_s;
        QTest::newRow("bad json") << 200 << QByteArray("application/json") << QByteArray("{oops") << QVariant()
                                  << u"Request failed: the reply is not valid JSON"_s;
    }
    void replyAcceptance()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, body);
        QFETCH(QVariant, json);
        QFETCH(QString, error);
        Peer peer;
        Reply reply = Reply::withStatus(status);
        reply.body = body;
        if (!type.isEmpty())
            reply.header("Content-Type", type);
        peer.setReply(reply);
        UploadRequest upload(QUrl::fromEncoded(peer.url("/u")), {{u"k"_s, u"v"_s}}, writeFile(u"f.ipa"_s, "x"),
                             u"file"_s, u"f.ipa"_s, u"application/octet-stream"_s);
        QSignalSpy finished(&upload, &UploadRequest::finished);
        upload.start();
        QVERIFY(finished.wait());
        QCoreApplication::processEvents(); // a second report, queued with the first, arrives now
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().at(0).toInt(), status);
        QCOMPARE(finished.first().at(1), json);
        QCOMPARE(finished.first().at(2).toString(), error);
    }

    void destroyedUploadSendsNothingMore()
    {
        Peer peer;
        peer.setBodyRecordLimit(0);
        auto *upload = new UploadRequest(QUrl::fromEncoded(peer.url("/u")), kParameters,
                                         sparseFile(u"huge.ipa"_s, 4LL * 1024 * 1024 * 1024), u"file"_s,
                                         u"huge.ipa"_s, u"application/octet-stream"_s);
        int emitted = 0;
        connect(upload, &UploadRequest::progress, this, [&emitted] { ++emitted; });
        connect(upload, &UploadRequest::finished, this, [&emitted] { emitted += 1000; });
        upload->start();
        QTRY_VERIFY(emitted > 0);
        QThread::msleep(100); // let a progress event queue up
        delete upload;
        const int seen = emitted;
        QTRY_COMPARE(peer.openConnections(), 0);
        QCoreApplication::processEvents(); // what was queued for the freed upload
        QCOMPARE(emitted, seen);
        QVERIFY(emitted < 1000);
    }

    // The length went into the headers when the request was built; a file that shrinks while it
    // is sent must fail the upload rather than leave the peer waiting for the rest.
    void fileShrinkingWhileSentFails()
    {
        Peer peer;
        peer.setBodyRecordLimit(0);
        peer.setReadRequests(false);
        const QString path = sparseFile(u"shrinks.ipa"_s, 256 * 1024 * 1024);
        UploadRequest upload(QUrl::fromEncoded(peer.url("/u")), {}, path, u"file"_s, u"shrinks.ipa"_s,
                             u"application/octet-stream"_s);
        QSignalSpy finished(&upload, &UploadRequest::finished);
        QSignalSpy progress(&upload, &UploadRequest::progress);
        upload.start();
        QVERIFY(progress.wait(10000)); // sending has begun; the peer reads nothing yet
        QVERIFY(QFile::resize(path, 1024 * 1024));
        peer.setReadRequests(true);
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().at(2).toString(),
                 u"Request failed: The attached file changed while it was being sent"_s);
    }

    void transportFailures()
    {
        {
            // Nothing listens on the discard port of loopback.
            UploadRequest upload(QUrl(u"http://127.0.0.1:9/u"_s), {}, QString(), u"file"_s, QString(), QString());
            QSignalSpy finished(&upload, &UploadRequest::finished);
            upload.start();
            QVERIFY(finished.wait());
            QCOMPARE(finished.first().at(0).toInt(), 0);
            QVERIFY(finished.first().at(2).toString().startsWith(u"Request failed: "_s));
        }
        {
            // The peer takes nothing: the stall guard ends it.
            Peer peer;
            peer.setReadRequests(false);
            UploadRequest upload(QUrl::fromEncoded(peer.url("/u")), {}, sparseFile(u"stall.ipa"_s, 64 * 1024 * 1024),
                                 u"file"_s, u"stall.ipa"_s, u"application/octet-stream"_s);
            upload.setStallTimeout(std::chrono::milliseconds(700));
            QSignalSpy finished(&upload, &UploadRequest::finished);
            upload.start();
            QVERIFY(finished.wait(10000));
            QCOMPARE(finished.first().at(2).toString(), u"Request failed: The request timed out"_s);
        }
    }
};

QUILLO_TEST_MAIN(TestUploadRequest)
#include "tst_uploadrequest.moc"
