// The log mask on the forms log lines take: JSON replies, QDebug maps, form and query pairs, and
// secrets met before, through the message handler every program installs.
#include "app/LogMask.h"
#include "tests/support/TestEnvironment.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcProbe, "quillo.probe")

QStringList g_lines;
QtMessageHandler g_testHandler = nullptr;
void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_lines.append(message);
    g_testHandler(type, context, message);
}
} // namespace

class LogMaskTest : public QObject
{
    Q_OBJECT

private slots:
    void textKeepsItsShape_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("login reply")
            << u"{\"code\":0,\"data\":{\"userKey\":\"k3y\\\"q\",\"u_api_token\":\"tok\",\"name\":\"Ann\"}}"_s
            << u"{\"code\":0,\"data\":{\"userKey\":\"***\",\"u_api_token\":\"***\",\"name\":\"Ann\"}}"_s;
        QTest::newRow("indented, numbers")
            << u"{\n  \"appKey\" : 12345,\n  \"build\": 7\n}"_s << u"{\n  \"appKey\" : ***,\n  \"build\": 7\n}"_s;
        QTest::newRow("empty stays empty")
            << u"{\"_token\":\"\",\"password\":\"\"}"_s << u"{\"_token\":\"\",\"password\":\"\"}"_s;
        QTest::newRow("QDebug map")
            << u"fields: QMap((\"_uId\", QVariant(QString, \"abc123\")) (\"uKey\", QVariant(QString, \"abc123\")) (\"type\", QVariant(QString, \"android\")))"_s
            << u"fields: QMap((\"_uId\", QVariant(QString, \"***\")) (\"uKey\", QVariant(QString, \"***\")) (\"type\", QVariant(QString, \"android\")))"_s;
        QTest::newRow("query and form")
            << u"http://h/apiv1/x?keyword=abcd&_token=t0k3n&uKey=abc password=pw1 x_key=1"_s
            << u"http://h/apiv1/x?keyword=abcd&_token=***&uKey=*** password=*** x_key=***"_s;
        QTest::newRow("nothing secret") << u"request -----> http://127.0.0.1:8690/apiv1/user/login"_s
                                        << u"request -----> http://127.0.0.1:8690/apiv1/user/login"_s;
    }
    void textKeepsItsShape()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(LogMask::maskedText(text), expected);
    }

    void valuesAreMaskedAtAnyDepth()
    {
        const QVariantMap value { { u"password"_s, u"pw"_s }, { u"_token"_s, QString() },
            { u"data"_s, QVariantList { QVariantMap { { u"releaseKey"_s, 7 }, { u"name"_s, u"x"_s } } } } };
        const QVariantMap masked = LogMask::masked(value).toMap();
        QCOMPARE(masked.value(u"password"_s), QVariant(u"***"_s));
        QCOMPARE(masked.value(u"_token"_s), QVariant(QString())); // nothing was sent
        const QVariantMap inner = masked.value(u"data"_s).toList().value(0).toMap();
        QCOMPARE(inner.value(u"releaseKey"_s), QVariant(u"***"_s));
        QCOMPARE(inner.value(u"name"_s), QVariant(u"x"_s));
    }

    // Whatever form a line takes, a secret the process has met does not reach the log.
    void theHandlerMasksSecretsMetBefore()
    {
        g_testHandler = qInstallMessageHandler(record);
        LogMask::install();
        LogMask::install(); // once only: the line below would otherwise be masked twice over
        LogMask::rememberSecrets(QVariantMap { { u"data"_s,
                                                   QVariantMap { { u"userKey"_s, u"0123456789abcdef"_s },
                                                       { u"u_api_token"_s, u"tok-4711"_s }, { u"name"_s, u"Ann"_s } } },
            { u"uKey"_s, u"0"_s } });
        qCWarning(lcProbe).noquote() << "session 0123456789abcdef, token tok-4711 for Ann; key 0";
        qCInfo(lcProbe) << QStringList { u"tok-4711"_s };
        // A map as QDebug writes it, with a secret met for the first time.
        qCInfo(lcProbe) << QVariantMap { { u"password"_s, u"hunter22"_s }, { u"email"_s, u"a@b.c"_s } };
        QCOMPARE(g_lines.value(0), u"session ***, token *** for Ann; key 0"_s);
        QCOMPARE(g_lines.value(1), u"QList(\"***\")"_s);
        QVERIFY2(!g_lines.value(2).contains(u"hunter22"_s) && g_lines.value(2).contains(u"a@b.c"_s),
            qPrintable(g_lines.value(2)));
        qInstallMessageHandler(g_testHandler);
    }
};

QUILLO_TEST_MAIN(LogMaskTest)
#include "tst_logmask.moc"
