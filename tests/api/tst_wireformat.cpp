// Pure parts of the API layer: encodings, reply decoding, the envelope's reading of a reply.

#include "api/CloudClientRequest.h"
#include "api/ReplyBody.h"
#include "api/WireFormat.h"
#include "tests/api/Gzip.h"
#include "tests/support/TestEnvironment.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

QVariantMap error(const QString &code, const QString &message)
{
    return QVariantMap{{u"code"_s, code}, {u"message"_s, message}};
}

} // namespace

class TestWireFormat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void formEncodingKeepsOnlyLettersDigitsAndThreeMarks()
    {
        QCOMPARE(WireFormat::urlEncodedBody({{u"k"_s, u"a b&c~"_s}}), QByteArray("k=a%20b%26c%7E"));
        QCOMPARE(WireFormat::percentEncodeForm(u"Az09-_.!*'();:@&=+$,/?%#[]中"_s),
                 QByteArray("Az09-_.%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D%E4%B8%AD"));
        QCOMPARE(WireFormat::urlEncodedBody({{u"a"_s, u"1"_s}, {u"b c"_s, QString()}, {u"d"_s, u"x"_s}}),
                 QByteArray("a=1&b%20c=&d=x"));
        QCOMPARE(WireFormat::urlEncodedBody({}), QByteArray());
    }

    void envelopeEncodingKeepsTheTilde()
    {
        QCOMPARE(CloudClientRequest::urlEncodeValue(u"a b~c/d"_s), QVariant(u"a%20b~c%2Fd"_s));
        QCOMPARE(CloudClientRequest::urlEncodeValue(u"中"_s), QVariant(u"%E4%B8%AD"_s));
        QCOMPARE(CloudClientRequest::urlEncodeValue(u"!*'();:@&=+$,/?%#[]"_s),
                 QVariant(u"%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D"_s));
        // Anything but a usable text comes back unchanged.
        QCOMPARE(CloudClientRequest::urlEncodeValue(42), QVariant(42));
        QCOMPARE(CloudClientRequest::urlEncodeValue(u""_s), QVariant(u""_s));
        QCOMPARE(CloudClientRequest::urlEncodeValue(QVariant()), QVariant());
    }

    void boundariesHaveTheirFixedShapes()
    {
        const QRegularExpression form(u"^0xKhTmLbOuNdArY-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"_s);
        const QRegularExpression upload(u"^Boundary\\+[0-9A-F]{16}$"_s);
        QVERIFY(form.match(WireFormat::formBoundary()).hasMatch());
        QVERIFY(upload.match(WireFormat::uploadBoundary()).hasMatch());
        QVERIFY(WireFormat::formBoundary() != WireFormat::formBoundary());
        QVERIFY(WireFormat::uploadBoundary() != WireFormat::uploadBoundary());
    }

    void partNamesCannotBreakTheFraming()
    {
        QCOMPARE(WireFormat::contentDisposition(u"file"_s, u"My App 中.ipa"_s),
                 u"Content-Disposition: form-data; name=\"file\"; filename=\"My App 中.ipa\""_s.toUtf8());
        QCOMPARE(WireFormat::contentDisposition(u"a\"b\r\nc"_s, std::nullopt),
                 QByteArray("Content-Disposition: form-data; name=\"a%22b%0D%0Ac\""));
    }

    void acceptLanguageListsSixWithFallingQuality()
    {
        QCOMPARE(WireFormat::acceptLanguage({u"zh-Hans"_s}), u"zh-Hans;q=1"_s);
        QCOMPARE(WireFormat::acceptLanguage({u"a"_s, u"b"_s, u"c"_s, u"d"_s, u"e"_s, u"f"_s, u"g"_s}),
                 u"a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5"_s);
        // The test locale is C: it reads as English, never as "C".
        QCOMPARE(WireFormat::preferredLanguages(), QStringList{u"en"_s});
    }

    void userAgentsHaveTheirFormats()
    {
        const QString form = WireFormat::formUserAgent();
        QVERIFY2(QRegularExpression(u"^\\S+ 1\\.0\\.0 \\(\\w+; \\S+ \\d+\\.\\d+\\.\\d+; \\S+\\)$"_s).match(form).hasMatch(),
                 qPrintable(form));
        const QString upload = WireFormat::uploadUserAgent();
        QVERIFY2(upload.startsWith(u"tst_wireformat/1.0.0 ("_s) && upload.endsWith(u')'), qPrintable(upload));
        for (const QChar c : upload)
            QVERIFY(c.unicode() >= 0x20 && c.unicode() < 0x7F);
    }

    void replyTextFollowsItsCharset_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QVariant>("text"); // invalid: cannot be read
        QTest::newRow("GBK") << QByteArray("\xD6\xD0\xCE\xC4") << QByteArray("text/html; charset=GBK")
                             << QVariant(u"中文"_s);
        QTest::newRow("quoted gbk") << QByteArray("\xD6\xD0") << QByteArray("text/plain; Charset=\"gbk\"")
                                    << QVariant(u"中"_s);
        QTest::newRow("no charset: UTF-8") << QByteArray("\xE4\xB8\xAD") << QByteArray("application/json")
                                           << QVariant(u"中"_s);
        QTest::newRow("unknown charset: UTF-8") << QByteArray("\xE4\xB8\xAD")
                                                << QByteArray("text/plain; charset=x-nonsense") << QVariant(u"中"_s);
        QTest::newRow("invalid UTF-8") << QByteArray("{\"a\":\"\xFF\xFE\"}") << QByteArray("application/json")
                                       << QVariant();
        QTest::newRow("invalid GBK") << QByteArray("\xD6\xFF\x80") << QByteArray("text/plain; charset=GBK")
                                     << QVariant();
        QTest::newRow("latin1") << QByteArray("caf\xE9") << QByteArray("text/plain; charset=ISO-8859-1")
                                << QVariant(u"café"_s);
        QTest::newRow("empty") << QByteArray() << QByteArray() << QVariant(u""_s);
    }
    void replyTextFollowsItsCharset()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(QVariant, text);
        const std::optional<QString> decoded = WireFormat::decodeText(body, contentType, "UTF-8");
        QCOMPARE(decoded.has_value(), text.isValid());
        if (decoded)
            QCOMPARE(*decoded, text.toString());
    }

    void envelopeOutcomes_data()
    {
        QTest::addColumn<QVariant>("body"); // invalid: undecodable text
        QTest::addColumn<bool>("success");
        QTest::addColumn<QVariant>("payload");
        const QVariantMap object{{u"k"_s, u"v"_s}};
        QTest::newRow("trimmed object") << QVariant(u"  \n\r\n {\"code\":0,\"data\":{\"k\":\"v\"}} \n "_s) << true
                                        << QVariant(object);
        QTest::newRow("code \"0\" without data") << QVariant(u"{\"code\":\"0\"}"_s) << true << QVariant();
        QTest::newRow("code -5, data 3") << QVariant(u"{\"code\":-5,\"data\":3}"_s) << true
                                         << QVariant(qlonglong(3));
        QTest::newRow("data null") << QVariant(u"{\"code\":0,\"data\":null}"_s) << true
                                   << QVariant::fromValue(nullptr);
        QTest::newRow("no code") << QVariant(u"{\"data\":\"x\"}"_s) << true << QVariant(u"x"_s);
        QTest::newRow("refusal") << QVariant(u"{\"code\":1002,\"message\":\"X\"}"_s) << false
                                 << QVariant(error(u"1002"_s, u"X"_s));
        QTest::newRow("refusal without message") << QVariant(u"{\"code\":7}"_s) << false
                                                 << QVariant(QVariantMap{{u"code"_s, u"7"_s}});
        QTest::newRow("code as text with tail") << QVariant(u"{\"code\":\"12abc\",\"message\":\"m\"}"_s) << false
                                                << QVariant(error(u"12"_s, u"m"_s));
        QTest::newRow("fraction truncated to 0") << QVariant(u"{\"code\":0.9,\"data\":1}"_s) << true
                                                 << QVariant(qlonglong(1));
        QTest::newRow("fraction truncated to 1") << QVariant(u"{\"code\":1.9}"_s) << false
                                                 << QVariant(QVariantMap{{u"code"_s, u"1"_s}});
        QTest::newRow("code beyond 32 bits saturates") << QVariant(u"{\"code\":3000000000}"_s) << false
                                                       << QVariant(QVariantMap{{u"code"_s, u"2147483647"_s}});
        QTest::newRow("non-numeric code") << QVariant(u"{\"code\":\"abc\",\"data\":1}"_s) << true
                                          << QVariant(qlonglong(1));
        QTest::newRow("boolean code") << QVariant(u"{\"code\":true,\"data\":1}"_s) << true
                                      << QVariant(qlonglong(1));
        QTest::newRow("invalid JSON after {") << QVariant(u"{not json"_s) << true << QVariant();
        QTest::newRow("array") << QVariant(u"[1,2]"_s) << true << QVariant();
        QTest::newRow("OK") << QVariant(u"OK"_s) << false
                            << QVariant(error(u"2"_s, u"服务器返回数据格式错误"_s));
        QTest::newRow("HTML page") << QVariant(u"<html>404</html>"_s) << false
                                   << QVariant(error(u"2"_s, u"服务器返回数据格式错误"_s));
        QTest::newRow("blank") << QVariant(u" \r\n\t \n"_s) << false
                               << QVariant(error(u"1"_s, u"服务器返回为空内容"_s));
        QTest::newRow("undecodable") << QVariant() << false << QVariant(error(u"1"_s, u"服务器返回为空内容"_s));
    }
    void envelopeOutcomes()
    {
        QFETCH(QVariant, body);
        QFETCH(bool, success);
        QFETCH(QVariant, payload);
        const auto outcome = CloudClientRequest::decodeReply(body.isValid() ? std::optional(body.toString())
                                                                            : std::nullopt);
        QCOMPARE(outcome.success, success);
        QCOMPARE(outcome.payload, payload);
    }

    void replyBodyInflatesGzipWithinItsCap()
    {
        const QByteArray text = QByteArray("{\"code\":0}").repeated(1000);
        const QByteArray packed = gzipCompress(text);
        {
            // Fed in small pieces, and two members in a row.
            ReplyBody body(1024 * 1024);
            body.reset(true);
            const QByteArray twice = packed + packed;
            for (qsizetype i = 0; i < twice.size(); i += 7)
                QVERIFY(body.append(twice.constData() + i, std::min<qsizetype>(7, twice.size() - i)));
            QVERIFY(body.finish());
            QCOMPARE(body.take(), text + text);
        }
        {
            ReplyBody body(1024 * 1024);
            body.reset(true);
            QVERIFY(body.append(packed.constData(), packed.size() / 2));
            QVERIFY(!body.finish());
        }
        {
            ReplyBody body(1024 * 1024);
            body.reset(true);
            QVERIFY(!body.append("not gzip at all", 15));
            QVERIFY(!body.error().isEmpty());
        }
        {
            // 64 MiB of zeros in about 64 KiB of gzip: refused once 1 MiB has come out.
            const QByteArray bomb = gzipBomb(64LL * 1024 * 1024);
            QVERIFY(bomb.size() < 200 * 1024);
            ReplyBody body(1024 * 1024);
            body.reset(true);
            QVERIFY(!body.append(bomb.constData(), bomb.size()));
            QVERIFY(body.data().size() <= 1024 * 1024);
        }
        {
            ReplyBody body(10);
            body.reset(false);
            QVERIFY(body.append("0123456789", 10));
            QVERIFY(!body.append("x", 1));
        }
    }
};

QUILLO_TEST_MAIN(TestWireFormat)
#include "tst_wireformat.moc"
