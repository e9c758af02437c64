#include "app/DataCheck.h"
#include "tests/support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

// Values as a JSON reply decodes them.
static QVariant json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().first().toVariant();
}

class TestDataCheck : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void validString_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("valid");
        QTest::newRow("empty") << QVariant(u""_s) << false;
        QTest::newRow("lone line feed") << QVariant(u"\n"_s) << false;
        QTest::newRow("space") << QVariant(u" "_s) << true;
        QTest::newRow("line feed then text") << QVariant(u"\nx"_s) << true;
        QTest::newRow("two line feeds") << QVariant(u"\n\n"_s) << true;
        QTest::newRow("text") << QVariant(u"abc"_s) << true;
        QTest::newRow("absent") << QVariant() << false;
        QTest::newRow("json null") << json("null") << false;
        QTest::newRow("number") << json("1") << false;
        QTest::newRow("bool") << json("true") << false;
        QTest::newRow("map") << json(R"({"a":"b"})") << false;
        QTest::newRow("array of string") << json(R"(["a"])") << false;
    }
    void validString()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, valid);
        QCOMPARE(DataCheck::isValidString(value), valid);
    }

    void validContainers()
    {
        QVERIFY(DataCheck::isValidDictionary(json(R"({"a":1})")));
        QVERIFY(!DataCheck::isValidDictionary(json("{}")));
        QVERIFY(!DataCheck::isValidDictionary(json("null")));
        QVERIFY(!DataCheck::isValidDictionary(QVariant()));
        QVERIFY(!DataCheck::isValidDictionary(json(R"([{"a":1}])")));
        QVERIFY(!DataCheck::isValidDictionary(json(R"("a")")));

        QVERIFY(DataCheck::isValidArray(json("[1]")));
        QVERIFY(!DataCheck::isValidArray(json("[]")));
        QVERIFY(!DataCheck::isValidArray(json("null")));
        QVERIFY(!DataCheck::isValidArray(QVariant()));
        QVERIFY(!DataCheck::isValidArray(json(R"({"a":1})")));
        QVERIFY(!DataCheck::isValidArray(json(R"("a")")));
    }

    void email_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << u"a.b_c%d+e@mail-host.example.com"_s << true;
        QTest::newRow("two letters after the dot") << u"a@b.cn"_s << true;
        QTest::newRow("one letter after the dot") << u"a@b.c"_s << false;
        QTest::newRow("six letters") << u"a@b.museum"_s << true;
        QTest::newRow("seven letters") << u"a@b.abcdefg"_s << false;
        QTest::newRow("no dot after @") << u"a@localhost"_s << false;
        QTest::newRow("space") << u"a b@c.de"_s << false;
        QTest::newRow("trailing line feed") << u"a@b.de\n"_s << false;
        QTest::newRow("empty") << QString(u""_s) << false;
        QTest::newRow("null") << QString() << false;
    }
    void email()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(DataCheck::isValidEmail(text), valid);
    }

    void intValue_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("string 1") << QVariant(u"1"_s) << 1;
        QTest::newRow("string 2") << QVariant(u"2"_s) << 2;
        QTest::newRow("leading digits") << QVariant(u"12abc"_s) << 12;
        QTest::newRow("blanks and sign") << QVariant(u"  -7x"_s) << -7;
        QTest::newRow("fraction text") << QVariant(u"1.9"_s) << 1;
        QTest::newRow("not numeric") << QVariant(u"yes"_s) << 0;
        QTest::newRow("empty") << QVariant(u""_s) << 0;
        QTest::newRow("absent") << QVariant() << 0;
        QTest::newRow("null") << json("null") << 0;
        QTest::newRow("number") << json("1") << 1;
        QTest::newRow("fraction") << json("-5.8") << -5;
        QTest::newRow("true") << json("true") << 1;
        QTest::newRow("map") << json(R"({"a":1})") << 0;
        QTest::newRow("huge text saturates") << QVariant(u"99999999999999999999"_s) << std::numeric_limits<int>::max();
        QTest::newRow("huge number saturates") << json("-1e300") << std::numeric_limits<int>::min();
    }
    void intValue()
    {
        QFETCH(QVariant, value);
        QFETCH(int, expected);
        QCOMPARE(DataCheck::intValue(value), expected);
    }
};

QUILLO_TEST_MAIN(TestDataCheck)
#include "tst_datacheck.moc"
