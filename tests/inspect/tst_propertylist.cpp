#include "inspect/PropertyList.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDateTime>
#include <QFile>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

using Fixtures::readAll;

} // namespace

class TestPropertyList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The same content in the XML form and in plistutil's binary form reads the same, from a file
    // and from bytes, with the value types kept.
    void binaryEqualsXml()
    {
        const QVariantMap values{{u"CFBundleIdentifier"_s, u"com.example.ümlaut"_s},
                                 {u"CFBundleVersion"_s, 7},
                                 {u"Negative"_s, -3},
                                 {u"Ratio"_s, 2.5},
                                 {u"Enabled"_s, true},
                                 {u"Disabled"_s, false},
                                 {u"Escaped"_s, u"<a & b>"_s},
                                 {u"Empty"_s, u""_s}};
        const QString xml = TestEnvironment::path(u"plists/xml.plist"_s);
        const QString binary = TestEnvironment::path(u"plists/binary.plist"_s);
        QVERIFY2(Fixtures::makePlist(xml, values, false), qPrintable(Fixtures::lastError()));
        QVERIFY2(Fixtures::makePlist(binary, values, true), qPrintable(Fixtures::lastError()));
        QVERIFY(readAll(binary).startsWith("bplist00"));

        const std::optional<QVariantMap> fromXml = PropertyList::dictionaryFromFile(xml);
        const std::optional<QVariantMap> fromBinary = PropertyList::dictionaryFromFile(binary);
        QVERIFY(fromXml && fromBinary);
        QCOMPARE(*fromXml, *fromBinary);
        QCOMPARE(PropertyList::dictionaryFromData(readAll(binary)), fromBinary);

        const QVariantMap &read = *fromBinary;
        QCOMPARE(read.value(u"CFBundleIdentifier"_s), QVariant(u"com.example.ümlaut"_s));
        QCOMPARE(read.value(u"CFBundleVersion"_s).metaType(), QMetaType::fromType<qlonglong>());
        QCOMPARE(read.value(u"CFBundleVersion"_s).toLongLong(), 7);
        QCOMPARE(read.value(u"Negative"_s).toLongLong(), -3);
        QCOMPARE(read.value(u"Ratio"_s).toDouble(), 2.5);
        QCOMPARE(read.value(u"Enabled"_s), QVariant(true));
        QCOMPARE(read.value(u"Disabled"_s), QVariant(false));
        QCOMPARE(read.value(u"Escaped"_s), QVariant(u"<a & b>"_s));
        QCOMPARE(read.value(u"Empty"_s).metaType(), QMetaType::fromType<QString>());
        QCOMPARE(read.size(), values.size());
    }

    void nestedValuesAndDates()
    {
        const QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<plist version=\"1.0\"><dict>"
                               "<key>List</key><array><string>a</string><integer>2</integer></array>"
                               "<key>Inner</key><dict><key>K</key><string>v</string></dict>"
                               "<key>When</key><date>2024-03-05T06:07:08Z</date>"
                               "<key>Blob</key><data>SGVsbG8=</data>"
                               "</dict></plist>";
        const std::optional<QVariantMap> read = PropertyList::dictionaryFromData(xml);
        QVERIFY(read);
        QCOMPARE(read->value(u"List"_s).toList(), (QVariantList{u"a"_s, 2LL}));
        QCOMPARE(read->value(u"Inner"_s).toMap().value(u"K"_s), QVariant(u"v"_s));
        QCOMPARE(read->value(u"When"_s).toDateTime(), QDateTime(QDate(2024, 3, 5), QTime(6, 7, 8), Qt::UTC));
        QCOMPARE(read->value(u"Blob"_s).toByteArray(), QByteArray("Hello"));
    }

    void malformedInputGivesNothing_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("not a property list at all");
        QTest::newRow("unclosed xml") << QByteArray("<plist version=\"1.0\"><dict><key>A</key><string>x");
        QTest::newRow("binary header only") << QByteArray("bplist00");
        QTest::newRow("binary garbage") << QByteArray("bplist00").append(QByteArray(64, '\xff'));
        QTest::newRow("deep nesting")
            << QByteArray("<plist><array>").repeated(1) + QByteArray("<array>").repeated(5000)
                   + QByteArray("</array>").repeated(5000) + QByteArray("</array></plist>");
    }
    void malformedInputGivesNothing()
    {
        QFETCH(QByteArray, data);
        QString error;
        QVERIFY(!PropertyList::fromData(data, &error).isValid());
        QVERIFY(!error.isEmpty());
        QVERIFY(!PropertyList::dictionaryFromData(data));
    }

    void truncatedBinaryFileGivesNothing()
    {
        const QString binary = TestEnvironment::path(u"plists/cut.plist"_s);
        QVERIFY(Fixtures::makePlist(binary, Fixtures::infoPlist(), true));
        const QByteArray whole = readAll(binary);
        QVERIFY(PropertyList::dictionaryFromData(whole));
        for (qsizetype length : {qsizetype(9), whole.size() / 2, whole.size() - 1})
            QVERIFY(!PropertyList::dictionaryFromData(whole.left(length)));
    }

    void rootMustBeADictionary()
    {
        QString error;
        const QByteArray array = "<plist version=\"1.0\"><array><string>a</string></array></plist>";
        QVERIFY(PropertyList::fromData(array).isValid());
        QVERIFY(!PropertyList::dictionaryFromData(array, &error));
        QVERIFY(!error.isEmpty());
    }

    void filesThatCannotBeReadGiveNothing()
    {
        QVERIFY(!PropertyList::dictionaryFromFile(TestEnvironment::path(u"plists/missing.plist"_s)));
        const QString big = TestEnvironment::path(u"plists/big.plist"_s);
        QVERIFY(Fixtures::makePlist(big, {{u"Padding"_s, QString(4096, u'x')}}));
        QVERIFY(PropertyList::dictionaryFromFile(big));
        QString error;
        QVERIFY(!PropertyList::dictionaryFromFile(big, &error, 1024));
        QVERIFY(error.contains(u"1024"_s));
        // A pipe in the file's place must not hang the reader.
        const QString pipe = TestEnvironment::path(u"plists/pipe.plist"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QVERIFY(!PropertyList::dictionaryFromFile(pipe));
    }
};

QUILLO_TEST_MAIN(TestPropertyList)
#include "tst_propertylist.moc"
