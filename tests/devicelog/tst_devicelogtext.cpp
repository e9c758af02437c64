#include "devicelog/DeviceLogText.h"
#include "devicelog/TextSearch.h"
#include "tests/support/TestEnvironment.h"

#include <QRandomGenerator>

using namespace Qt::StringLiterals;

using Range = DeviceLogText::Range;

class TestDeviceLogText : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void twoLinesInOneChunk()
    {
        const QByteArray chunk = "Dec  7 21:12:01 iPhone SpringBoard[58] <Notice>: first\n"
                                 "Dec  7 21:12:02 iPhone kernel[0] <Error>: second";
        const QStringList entries = DeviceLogText::entriesFromChunk(chunk);
        QCOMPARE(entries,
            QStringList({ u"21:12:01 iPhone SpringBoard \u2192  <Notice>: first\n"_s,
                u"21:12:02 iPhone kernel \u2192  <Error>: second"_s }));
    }

    void chunkStartingWithTwoLineFeedsGivesOneEntry()
    {
        const QByteArray chunk = "\n\nDec 17 08:00:00 iPad backboardd[66] <Notice>: x\n";
        QCOMPARE(DeviceLogText::entriesFromChunk(chunk),
            QStringList({ u"08:00:00 iPad backboardd \u2192  <Notice>: x\n"_s }));
        // One leading line feed goes; a lone line feed stays.
        QCOMPARE(DeviceLogText::removeNewLineAtBegining(u"\nabc"_s), u"abc"_s);
        QCOMPARE(DeviceLogText::removeNewLineAtBegining(u"\n"_s), u"\n"_s);
        QVERIFY(DeviceLogText::entriesFromChunk("\n").isEmpty());
        QVERIFY(DeviceLogText::entriesFromChunk("").isEmpty());
    }

    // Day spacing, and ICU's meaning of \w, \s and \d in the boundary.
    void boundary_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("entries");
        QTest::newRow("two-digit day, one space") << u"a\nDec 17 10:00:00 x"_s << 2;
        QTest::newRow("one-digit day, two spaces") << u"a\nDec  7 10:00:00 x"_s << 2;
        QTest::newRow("one-digit day, one space") << u"a\nDec 7 10:00:00 x"_s << 2;
        QTest::newRow("one-digit day, three spaces") << u"a\nDec   7 10:00:00 x"_s << 1;
        QTest::newRow("no line feed before") << u"a Dec  7 10:00:00 x"_s << 1;
        QTest::newRow("three-digit day") << u"a\nDec 117 10:00:00 x"_s << 1;
        QTest::newRow("two-letter month") << u"a\nDe  7 10:00:00 x"_s << 1;
        QTest::newRow("accented month") << u"a\nDéc  7 10:00:00 x"_s << 2;
        QTest::newRow("fullwidth digits") << u"a\nDec  \uFF17 \uFF11\uFF10:00:00 x"_s << 2;
        QTest::newRow("no-break space") << u"a\nDec\u00A07 10:00:00 x"_s << 2;
        QTest::newRow("vertical tab is no space") << u"a\nDec\v7 10:00:00 x"_s << 1;
        QTest::newRow("hyphen is no word character") << u"a\nD-c  7 10:00:00 x"_s << 1;
    }
    void boundary()
    {
        QFETCH(QString, text);
        QFETCH(int, entries);
        QCOMPARE(DeviceLogText::seperateLog(text).size(), entries);
    }

    void cuttingKeepsEveryCharacter()
    {
        const QString text = u"head\nJan  1 00:00:01 d p[1] <N>: one\ncontinued\nJan  1 00:00:02 d p[2] <N>: two\n"_s;
        const QStringList entries = DeviceLogText::seperateLog(text);
        QCOMPARE(entries,
            QStringList({ u"head\n"_s, u"Jan  1 00:00:01 d p[1] <N>: one\ncontinued\n"_s,
                u"Jan  1 00:00:02 d p[2] <N>: two\n"_s }));
        QCOMPARE(entries.join(QString()), text);
        QVERIFY(DeviceLogText::seperateLog(QString()).isEmpty());
        QCOMPARE(DeviceLogText::seperateLog(u"no boundary\n"_s), QStringList(u"no boundary\n"_s));
    }

    void rewriting()
    {
        QCOMPARE(DeviceLogText::replaceProcessIdWithArrow(u"p[12] <N>: a[3] <b>"_s), u"p \u2192  <N>: a[3] <b>"_s);
        QCOMPARE(DeviceLogText::replaceProcessIdWithArrow(u"p[12]<N>"_s), u"p[12]<N>"_s);
        QCOMPARE(DeviceLogText::replaceProcessIdWithArrow(u"p[1a] <N>"_s), u"p[1a] <N>"_s);
        QCOMPARE(DeviceLogText::removeMonthDateString(u"Dec  7 21:12:01 x"_s), u"21:12:01 x"_s);
        QCOMPARE(DeviceLogText::removeMonthDateString(u"hello 42 world"_s), u"world"_s);
        QCOMPARE(DeviceLogText::removeMonthDateString(u"21:12:01 x"_s), u"21:12:01 x"_s);
        // Arrow first: the space it brings can complete a date prefix.
        QCOMPARE(DeviceLogText::rewriteEntry(u"ab 12[5] <N>"_s), u"\u2192  <N>"_s);
    }

    void entryWithoutArrowOrTime()
    {
        const QStringList entries = DeviceLogText::entriesFromChunk("Dec  7 21:12:01 iPhone kernel: no pid\n"
                                                                    "Dec  7 21:12:02 iPhone sharingd[99] <Notice>: ok");
        QCOMPARE(entries.first(), u"21:12:01 iPhone kernel: no pid\n"_s);
        QVERIFY(DeviceLogText::hasTimeStringString(entries.first()));
        QVERIFY(DeviceLogText::rangeOfProcessName(entries.first()).isEmpty());
        QCOMPARE(DeviceLogText::entriesFromChunk("plain text"), QStringList(u"plain text"_s));
        QVERIFY(!DeviceLogText::hasTimeStringString(u"plain text"_s));
        QVERIFY(!DeviceLogText::hasTimeStringString(u"1:02:03 x"_s));
    }

    void processName()
    {
        const QString entry = u"21:12:01 iPhone SpringBoard \u2192  <Notice>: x"_s;
        QCOMPARE(DeviceLogText::rangeOfProcessName(entry), (Range { 16, 11 }));
        QCOMPARE(entry.mid(16, 11), u"SpringBoard"_s);
        // A hyphen in the process or device name: no match.
        QVERIFY(DeviceLogText::rangeOfProcessName(u"21:12:01 iPhone com-apple \u2192  <N>: x"_s).isEmpty());
        QVERIFY(DeviceLogText::rangeOfProcessName(u"21:12:01 Johns-iPhone kernel \u2192  <N>: x"_s).isEmpty());
        // Non-ASCII letters are word characters.
        QCOMPARE(DeviceLogText::rangeOfProcessName(u"21:12:01 手机 设置 \u2192  <N>: x"_s), (Range { 12, 2 }));
        QVERIFY(DeviceLogText::rangeOfProcessName(u"21:12:01 iPhone kernel: x"_s).isEmpty());
    }

    void undecodableChunkIsDropped()
    {
        const QByteArray arrow = "\xe2\x86\x92";
        QCOMPARE(DeviceLogText::entriesFromChunk("a " + arrow), QStringList(u"a \u2192"_s));
        QVERIFY(DeviceLogText::entriesFromChunk("a " + arrow.left(2)).isEmpty()); // cut inside a character
        QVERIFY(DeviceLogText::entriesFromChunk("a \xff b").isEmpty());
    }

    // A character cut by the chunk's end is carried into the next chunk instead of losing the
    // chunk; bytes that are not UTF-8 still cost theirs.
    void characterCutAtChunkEndIsCarried()
    {
        QByteArray carry;
        QCOMPARE(DeviceLogText::entriesFromChunk("Dec  7 10:00:01 d p[1] <N>: a \xe2\x86", &carry),
            QStringList(u"10:00:01 d p \u2192  <N>: a "_s));
        QCOMPARE(carry, QByteArray("\xe2\x86"));
        QCOMPARE(DeviceLogText::entriesFromChunk("\x92 b\n", &carry), QStringList(u"\u2192 b\n"_s));
        QVERIFY(carry.isEmpty());
        // Four-byte characters, cut after each of their first three bytes.
        const QByteArray emoji = "\xf0\x9f\x98\x80";
        for (int cut = 1; cut <= 3; ++cut) {
            QCOMPARE(DeviceLogText::entriesFromChunk("x" + emoji.left(cut), &carry), QStringList(u"x"_s));
            QCOMPARE(DeviceLogText::entriesFromChunk(emoji.mid(cut) + "y", &carry), QStringList(u"\U0001F600y"_s));
        }
        QVERIFY(DeviceLogText::entriesFromChunk("bad \xff \xe2", &carry).isEmpty());
        QCOMPARE(DeviceLogText::entriesFromChunk("\x86\x92", &carry), QStringList(u"\u2192"_s));
        QCOMPARE(DeviceLogText::entriesFromChunk("ok", &carry), QStringList(u"ok"_s));
    }

    // The vectorised scan looks at eight positions at a time: compare it with QString on texts
    // of every length around that width, needles found at the very end included.
    void substringSearchAgreesWithQString()
    {
        QRandomGenerator random(3);
        const QString alphabet = u"ab\u2192\u4E2D "_s;
        auto text = [&](int length) {
            QString t;
            for (int i = 0; i < length; ++i)
                t += alphabet.at(random.bounded(int(alphabet.size())));
            return t;
        };
        for (int round = 0; round < 20000; ++round) {
            const QString hay = text(random.bounded(40));
            const QString needle = round % 2 && !hay.isEmpty()
                ? hay.right(1 + random.bounded(int(qMin<qsizetype>(hay.size(), 12))))
                : text(1 + random.bounded(6));
            if (TextSearch::contains(hay, needle) != hay.contains(needle))
                QFAIL(qPrintable(u"'%1' in '%2'"_s.arg(needle, hay)));
        }
        QVERIFY(TextSearch::contains(u"abc"_s, QString()));
        QVERIFY(!TextSearch::contains(QString(), u"a"_s));
        QVERIFY(!TextSearch::contains(u"Needle"_s, u"needle"_s));
    }

    // Enough entries for the search to split them over two threads: indexes stay ascending.
    void searchOverManyEntriesKeepsOrder()
    {
        QStringList entries;
        QList<qsizetype> expected;
        for (int i = 0; i < 120000; ++i) {
            entries.append(i % 7 == 0 ? u"x needle %1\n"_s.arg(i) : u"hay %1\n"_s.arg(i));
            if (i % 7 == 0 && i >= 5 && i < 100003)
                expected.append(i);
        }
        QCOMPARE(TextSearch::matches(entries, 5, 100003, u"needle"_s), expected);
        QCOMPARE(TextSearch::matches(entries, 0, entries.size(), u"needle"_s).size(), (120000 + 6) / 7);
    }

    void chunksAreCutIndependently()
    {
        const QByteArray line = "Dec  7 21:12:01 iPhone app[1] <Notice>: hello\n";
        const QStringList first = DeviceLogText::entriesFromChunk(line.left(40));
        const QStringList second = DeviceLogText::entriesFromChunk(line.mid(40));
        QCOMPARE(first.size() + second.size(), 2);
        QCOMPARE(second, QStringList(u"hello\n"_s));
    }
};

QUILLO_TEST_MAIN(TestDeviceLogText)
#include "tst_devicelogtext.moc"
