// The device log tool's output, which carries whatever the device's processes log.
//
// The input is cut into up to four chunks (the first byte says where) and read as the reader
// does, with and without carrying a character cut at a chunk's end. Besides crashes, hangs and
// leaks it checks that cutting keeps every character, and, for ASCII text, the cutting points
// and every rewriting rule against plain scans written from the patterns' meaning (ICU \w, \s
// and \d reduce to [A-Za-z0-9_], [\t\n\f\r ] and [0-9] there).

#include "devicelog/DeviceLogText.h"
#include "fuzz/FuzzSupport.h"

#include <QStringList>
#include <algorithm>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

bool isWord(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
}
bool isSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\f' || c == u'\r';
}
bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}
bool isAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// "HH:MM:SS" at position i.
bool timeAt(const QString &t, qsizetype i)
{
    if (i + 8 > t.size())
        return false;
    return isDigit(t[i]) && isDigit(t[i + 1]) && t[i + 2] == u':' && isDigit(t[i + 3]) && isDigit(t[i + 4])
        && t[i + 5] == u':' && isDigit(t[i + 6]) && isDigit(t[i + 7]);
}

// End of "\w{3}\s{1,2}\d{1,2}\s\d{2}:\d{2}:\d{2}" matched at i, trying the greedy choices first.
std::optional<qsizetype> timestampEnd(const QString &t, qsizetype i)
{
    const qsizetype n = t.size();
    if (i + 3 > n || !isWord(t[i]) || !isWord(t[i + 1]) || !isWord(t[i + 2]))
        return std::nullopt;
    for (int spaces = 2; spaces >= 1; --spaces) {
        qsizetype p = i + 3;
        bool ok = p + spaces <= n;
        for (int k = 0; ok && k < spaces; ++k)
            ok = isSpace(t[p + k]);
        if (!ok)
            continue;
        p += spaces;
        for (int digits = 2; digits >= 1; --digits) {
            qsizetype q = p;
            bool good = q + digits <= n;
            for (int k = 0; good && k < digits; ++k)
                good = isDigit(t[q + k]);
            if (!good)
                continue;
            q += digits;
            if (q < n && isSpace(t[q]) && timeAt(t, q + 1))
                return q + 1 + 8;
        }
    }
    return std::nullopt;
}

// Where seperateLog must cut: just after each line feed that begins a boundary match, matches
// taken left to right without overlapping.
QList<qsizetype> cuts(const QString &t)
{
    QList<qsizetype> result;
    qsizetype pos = 0;
    while (pos < t.size()) {
        const qsizetype lf = t.indexOf(u'\n', pos);
        if (lf < 0)
            break;
        if (const std::optional<qsizetype> end = timestampEnd(t, lf + 1)) {
            result.append(lf + 1);
            pos = *end;
        } else {
            pos = lf + 1;
        }
    }
    return result;
}

QString expectedProcessIdRewrite(const QString &e)
{
    for (qsizetype i = e.indexOf(u'['); i >= 0; i = e.indexOf(u'[', i + 1)) {
        qsizetype j = i + 1;
        while (j < e.size() && isDigit(e[j]))
            ++j;
        if (j > i + 1 && j + 2 < e.size() && e[j] == u']' && e[j + 1] == u' ' && e[j + 2] == u'<')
            return e.left(i) + u" \u2192 "_s + e.mid(j + 1);
    }
    return e;
}

QString expectedMonthDateRemoval(const QString &e)
{
    qsizetype i = 0;
    while (i < e.size() && isWord(e[i]))
        ++i;
    if (i == 0)
        return e;
    const qsizetype afterWord = i;
    while (i < e.size() && isSpace(e[i]))
        ++i;
    if (i == afterWord)
        return e;
    const qsizetype afterSpace = i;
    while (i < e.size() && isDigit(e[i]))
        ++i;
    if (i == afterSpace || i >= e.size() || !isSpace(e[i]))
        return e;
    return e.mid(i + 1);
}

DeviceLogText::Range expectedProcessName(const QString &e)
{
    if (!e.contains(u'\u2192') || !timeAt(e, 0) || e.size() < 9 || !isSpace(e[8]))
        return {};
    qsizetype i = 9;
    const qsizetype device = i;
    while (i < e.size() && isWord(e[i]))
        ++i;
    if (i == device || i >= e.size() || !isSpace(e[i]))
        return {};
    const qsizetype name = ++i;
    while (i < e.size() && isWord(e[i]))
        ++i;
    if (i == name || i + 1 >= e.size() || !isSpace(e[i]) || e[i + 1] != u'\u2192')
        return {};
    return { name, i - name };
}

void checkEntry(const QString &entry)
{
    const QString rewritten = DeviceLogText::rewriteEntry(entry);
    const DeviceLogText::Range range = DeviceLogText::rangeOfProcessName(rewritten);
    FUZZ_CHECK(range.location >= 0 && range.length >= 0 && range.location + range.length <= rewritten.size(),
        "process name range outside the entry");
    if (!isAscii(entry))
        return;
    const QString withArrow = DeviceLogText::replaceProcessIdWithArrow(entry);
    FUZZ_CHECK(withArrow == expectedProcessIdRewrite(entry), "process id rewrite of %s gives %s",
        FuzzSupport::printable(entry).constData(), FuzzSupport::printable(withArrow).constData());
    FUZZ_CHECK(DeviceLogText::removeMonthDateString(withArrow) == expectedMonthDateRemoval(withArrow),
        "month and day removal of %s", FuzzSupport::printable(withArrow).constData());
    FUZZ_CHECK(DeviceLogText::hasTimeStringString(rewritten) == timeAt(rewritten, 0), "time test of %s",
        FuzzSupport::printable(rewritten).constData());
    FUZZ_CHECK(range == expectedProcessName(rewritten), "process name of %s at %lld+%lld",
        FuzzSupport::printable(rewritten).constData(), qlonglong(range.location), qlonglong(range.length));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString text = QString::fromUtf8(bytes);

    const QStringList entries = DeviceLogText::seperateLog(text);
    FUZZ_CHECK(entries.join(QString()) == text, "cutting lost or added characters");
    FUZZ_CHECK(text.isEmpty() == entries.isEmpty(), "%lld entries of %lld characters", qlonglong(entries.size()),
        qlonglong(text.size()));
    for (qsizetype i = 0; i + 1 < entries.size(); ++i)
        FUZZ_CHECK(entries.at(i).endsWith(u'\n'), "entry %lld does not end with its line feed", qlonglong(i));
    if (isAscii(text)) {
        QList<qsizetype> starts;
        qsizetype at = 0;
        for (qsizetype i = 0; i + 1 < entries.size(); ++i) {
            at += entries.at(i).size();
            starts.append(at);
        }
        FUZZ_CHECK(starts == cuts(text), "cut at other places than the boundaries in %s",
            FuzzSupport::printable(text).constData());
    }
    for (const QString &entry : entries)
        checkEntry(entry);

    // The reader's road, chunk by chunk.
    const qsizetype n = bytes.size();
    QList<qsizetype> ends { (n * (data[0] & 3)) / 4, (n * ((data[0] >> 2) & 3)) / 4, (n * ((data[0] >> 4) & 3)) / 4,
        n };
    std::sort(ends.begin(), ends.end());
    for (const bool carrying : { false, true }) {
        QByteArray carry;
        qsizetype from = 0;
        for (const qsizetype to : std::as_const(ends)) {
            const QStringList cut
                = DeviceLogText::entriesFromChunk(bytes.mid(from, to - from), carrying ? &carry : nullptr);
            FUZZ_CHECK(carry.size() <= 3, "a carry of %lld bytes", qlonglong(carry.size()));
            // Entries are dropped when empty before they are rewritten; the rewriting itself may
            // leave an empty text (a line of only "word number "), which is delivered as it is.
            FUZZ_CHECK(cut.size() <= to - from + 4, "%lld entries from a chunk", qlonglong(cut.size()));
            from = to;
        }
    }
    return 0;
}
