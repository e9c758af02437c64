// What the fuzz targets (fuzz/) found, kept as regression tests with the smallest inputs that
// show each fault.

#include "api/CloudClientRequest.h"
#include "api/WireFormat.h"
#include "app/QSLoginModel.h"
#include "inspect/PackageInspector.h"
#include "inspect/PropertyList.h"
#include "inspect/QDArchiveModel.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QDir>
#include <QFile>

using namespace Qt::StringLiterals;

namespace {

// A binary property list written byte by byte: objects in order, one-byte offsets and refs,
// object 0 the root.
QByteArray binaryPlist(const QList<QByteArray> &objects)
{
    QByteArray out = "bplist00";
    QByteArray offsets;
    for (const QByteArray &object : objects) {
        offsets.append(char(out.size()));
        out += object;
    }
    const int table = int(out.size());
    out += offsets;
    QByteArray trailer(32, '\0');
    trailer[6] = 1; // offset size
    trailer[7] = 1; // ref size
    trailer[15] = char(objects.size());
    trailer[31] = char(table);
    return out + trailer;
}

// A binary list with four-byte offsets and two-byte references, for lists of many objects; each
// object is an array of references to the given objects, or `false` when it has none.
QByteArray binaryArrays(const QList<QList<int>> &arrays, int root = 0)
{
    QByteArray out = "bplist00";
    QList<quint32> offsets;
    for (const QList<int> &refs : arrays) {
        offsets.append(quint32(out.size()));
        if (refs.isEmpty()) {
            out.append(char(0x08));
            continue;
        }
        out.append(QByteArray("\xAF\x11", 2));
        out.append(char(refs.size() >> 8)).append(char(refs.size() & 0xFF));
        for (const int ref : refs)
            out.append(char(ref >> 8)).append(char(ref & 0xFF));
    }
    const quint32 table = quint32(out.size());
    for (const quint32 offset : std::as_const(offsets)) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.append(char((offset >> shift) & 0xFF));
    }
    QByteArray trailer(32, '\0');
    trailer[6] = 4;
    trailer[7] = 2;
    for (int i = 0; i < 8; ++i) {
        trailer[8 + i] = char((quint64(arrays.size()) >> (56 - 8 * i)) & 0xFF);
        trailer[16 + i] = char((quint64(root) >> (56 - 8 * i)) & 0xFF);
        trailer[24 + i] = char((quint64(table) >> (56 - 8 * i)) & 0xFF);
    }
    return out + trailer;
}

// A dictionary of one-byte-ref keys and values.
QByteArray dict(const QList<std::pair<int, int>> &entries)
{
    QByteArray object(1, char(0xD0 | entries.size()));
    for (const auto &entry : entries)
        object.append(char(entry.first));
    for (const auto &entry : entries)
        object.append(char(entry.second));
    return object;
}

QByteArray ascii(const QByteArray &text)
{
    if (text.size() < 15)
        return char(0x50 | text.size()) + text;
    return QByteArray("\x5F\x10", 2) + char(text.size()) + text; // the count as an integer object
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class TestFuzzFindings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // libplist 2.2 aborts the whole process (an assertion in plist_get_key_val) when asked for a
    // dictionary key that holds a NUL character: a UTF-16 key of the binary form can. A package
    // with such an Info.plist ended the desktop program, the command line and the stand-in
    // service. Now the list is refused as malformed and every reader goes on without it.
    void binaryKeyWithANulCharacterIsRefused()
    {
        // The key "a", U+0000, "b" in UTF-16.
        const QByteArray evil
            = binaryPlist({ dict({ { 1, 2 } }), QByteArray("\x63\x00\x61\x00\x00\x00\x62", 7), ascii("x") });
        QString error;
        QVERIFY(!PropertyList::fromData(evil, &error).isValid());
        QVERIFY2(error.contains(u"NUL"_s), qPrintable(error));
        QVERIFY(!PropertyList::dictionaryFromData(evil).has_value());
        QVERIFY(!PropertyList::dictionaryFromData(evil, nullptr, { u"a"_s }).has_value());

        // A NUL in an ASCII key or in a value does no harm: libplist ends the text there.
        const QByteArray asciiKey = binaryPlist({ dict({ { 1, 2 } }), ascii(QByteArray("a\0b", 3)), ascii("x") });
        const QByteArray nulInValue = binaryPlist({ dict({ { 1, 2 } }), ascii("Name"), ascii(QByteArray("x\0y", 3)) });
        QCOMPARE(PropertyList::dictionaryFromData(asciiKey), std::optional<QVariantMap>({ { u"a"_s, u"x"_s } }));
        QCOMPARE(PropertyList::dictionaryFromData(nulInValue), std::optional<QVariantMap>({ { u"Name"_s, u"x"_s } }));

        // As the Info.plist of a package: the inspection reads nothing from it and carries on.
        const QString folder = TestEnvironment::path(u"nul-key/"_s);
        QVERIFY(writeFile(folder + u"Payload/Evil.app/Info.plist"_s, evil));
        const QString ipa = folder + u"evil.ipa"_s;
        QVERIFY2(Fixtures::run(u"make-zip.sh"_s,
                     { ipa, folder, u"Payload"_s, u"Payload/Evil.app"_s, u"Payload/Evil.app/Info.plist"_s }),
            qPrintable(Fixtures::lastError()));
        const PackageInspector::Identity identity = PackageInspector::inspect(ipa);
        QVERIFY(!identity.ok);
        QCOMPARE(identity.appInfo.value(u"packageName"_s).toString(), QString());

        // As the Info.plist of an archive: no value.
        const QString archive = TestEnvironment::path(u"Archives/Evil.xcarchive"_s);
        QVERIFY(writeFile(archive + u"/Products/Applications/Evil.app/Info.plist"_s, evil));
        const QDArchiveModel model(archive);
        QCOMPARE(model.packageName(), std::optional<QString>(u"Evil.app"_s));
        QVERIFY(!model.identifier().has_value());

        // Uploaded to the stand-in service, which inspects every package it stores: it answers
        // and keeps running.
        TestService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const TestService::Account me = service.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));
        const TestService::Reply reply = service.upload(me, ipa);
        QVERIFY2(reply.status != 0, qPrintable(reply.error));
        QVERIFY(service.isRunning());
        QCOMPARE(service.stop(), 0);
    }

    // Found while probing what the property-list target cannot reach (its inputs stop at 64 KiB):
    // lists whose nodes libplist 2.2 multiplies or nests without limit. Each took the process
    // down or held it for minutes to hours; now each is refused before libplist sees it, and its
    // error says so (without the checks they fail, if at all, with "unsupported or too deeply
    // nested value" after libplist has built them).
    void listsThatLibplistCannotSurviveAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        const int n = 200000;
        // 3 MB of nested arrays: parsed at once, then freed recursively; the stack overflowed.
        QTest::newRow("XML nested 200000 deep") << QByteArray("<plist version=\"1.0\">"
            + QByteArray("<array>").repeated(n) + QByteArray("</array>").repeated(n) + "</plist>")
                                                << u"nested deeper than 256"_s;
        // A chain of one-element arrays: libplist's binary parser is quadratic in the depth
        // (60000 levels: minutes under the sanitizers).
        QList<QList<int>> chain;
        for (int i = 0; i < 60000; ++i)
            chain.append(i + 1 < 60000 ? QList<int> { i + 1 } : QList<int> {});
        QTest::newRow("binary nested 60000 deep") << binaryArrays(chain) << u"nested deeper than 256"_s;
        // Six arrays of thirty references each to the next: 30^6 (729 million) nodes out of 400 bytes.
        QList<QList<int>> laughs;
        for (int level = 0; level < 6; ++level)
            laughs.append(QList<int>(30, level + 1));
        laughs.append(QList<int> {});
        QTest::newRow("binary shared references") << binaryArrays(laughs) << u"more than 250000 nodes"_s;
        QTest::newRow("binary reference cycle") << binaryArrays({ { 1 }, { 0 } }) << u"nested deeper than 256"_s;
    }
    void listsThatLibplistCannotSurviveAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!PropertyList::fromData(bytes, &error).isValid());
        QVERIFY2(error.endsWith(reason), qPrintable(error));
        QVERIFY(!PropertyList::dictionaryFromData(bytes, nullptr, { u"a"_s }).has_value());
    }

    // Shared objects as plistutil writes them (one string referred to from many places) are
    // still read.
    void sharedLeavesStillRead()
    {
        QList<QList<int>> arrays { QList<int>(1000, 1), {} };
        const QVariant value = PropertyList::fromData(binaryArrays(arrays));
        QCOMPARE(value.toList().size(), 1000);
        QCOMPARE(value.toList().last(), QVariant(false));
    }

    // A key present twice: the whole dictionary kept the later value and a reader of a few keys
    // the first, so the recent-builds list (a few keys) and the upload (the whole list) could
    // show one package with two versions. Both now read the later entry.
    void duplicateKeyReadsTheSameForEveryReader()
    {
        const QByteArray bytes
            = binaryPlist({ dict({ { 1, 2 }, { 1, 3 } }), ascii("CFBundleVersion"), ascii("1"), ascii("2") });
        const std::optional<QVariantMap> whole = PropertyList::dictionaryFromData(bytes);
        const std::optional<QVariantMap> some
            = PropertyList::dictionaryFromData(bytes, nullptr, { u"CFBundleVersion"_s });
        QVERIFY(whole && some);
        QCOMPARE(whole->value(u"CFBundleVersion"_s).toString(), u"2"_s);
        QCOMPARE(some->value(u"CFBundleVersion"_s).toString(), u"2"_s);

        const QString archive = TestEnvironment::path(u"Archives/Twice.xcarchive"_s);
        QVERIFY(writeFile(archive + u"/Products/Applications/Twice.app/Info.plist"_s, bytes));
        QCOMPARE(QDArchiveModel(archive).build(), std::optional<QString>(u"2"_s));
    }

    // A reply cut off inside a multi-byte character read as text without it (the decoder kept the
    // start of the character waiting for more), so a truncated body could pass as a success. A
    // body that is not valid in its character set reads as no text: error "1".
    void replyCutInsideACharacterIsNoText_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("cut"); // bytes of the cut-off character
        QTest::newRow("UTF-8") << QByteArray("application/json") << QByteArray("{\"code\":0}\xe4\xb8") << 2;
        QTest::newRow("GBK") << QByteArray("application/json; charset=GBK") << QByteArray("{\"code\":0}\xd6") << 1;
        QTest::newRow("Shift_JIS") << QByteArray("text/json; charset=Shift_JIS") << QByteArray("{\"code\":0}\x82") << 1;
        QTest::newRow("UTF-16LE, odd length")
            << QByteArray("application/json; charset=UTF-16LE") << QByteArray("{\0}\0\x41", 5) << 1;
    }
    void replyCutInsideACharacterIsNoText()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(int, cut);
        QCOMPARE(WireFormat::decodeText(body, contentType, "UTF-8"), std::nullopt);
        const CloudClientRequest::Outcome outcome
            = CloudClientRequest::decodeReply(WireFormat::decodeText(body, contentType, "UTF-8"));
        QVERIFY(!outcome.success);
        QCOMPARE(outcome.payload.toMap().value(u"code"_s).toString(), u"1"_s);
        // Without the cut the same reply reads.
        body.chop(cut);
        QVERIFY(WireFormat::decodeText(body, contentType, "UTF-8").has_value());
        QVERIFY(CloudClientRequest::decodeReply(WireFormat::decodeText(body, contentType, "UTF-8")).success);
    }
};

QUILLO_TEST_MAIN(TestFuzzFindings)
#include "tst_fuzzfindings.moc"
