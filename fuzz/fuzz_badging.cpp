// The badging text of aapt, which repeats what a package says about itself (labels, names and
// paths chosen by whoever built the package).
//
// Besides crashes, hangs and leaks it checks every expression of the record against a plain
// scan written from the expressions' meaning (first match in the whole text; "." stops at every
// ICU line end: LF, VT, FF, CR, NEL, LS, PS), and that the icon entry is a safe relative path.

#include "fuzz/FuzzSupport.h"
#include "inspect/PackageRecord.h"
#include "inspect/ZipReader.h"

#include <QFile>
#include <QVariantMap>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

bool isLineEnd(QChar c)
{
    const char16_t u = c.unicode();
    return u == 0x0A || u == 0x0B || u == 0x0C || u == 0x0D || u == 0x85 || u == 0x2028 || u == 0x2029;
}

struct Line
{
    qsizetype begin;
    qsizetype end;
};

QList<Line> linesOf(const QString &text)
{
    QList<Line> lines;
    qsizetype begin = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isLineEnd(text.at(i))) {
            lines.append({ begin, i });
            begin = i + 1;
        }
    }
    lines.append({ begin, text.size() });
    return lines;
}

// In [from, end): the first occurrence of needle, or -1.
qsizetype findIn(const QString &text, const QString &needle, qsizetype from, qsizetype end)
{
    const qsizetype at = text.indexOf(needle, from);
    return at >= 0 && at + needle.size() <= end ? at : -1;
}

// "<prefix>.*?<opening>(.*?)'" (lazy) or "<prefix>.*<opening>(.*?)'" (greedy), where opening ends
// with a quote; an empty prefix means the expression starts with the opening.
std::optional<QString> scan(const QString &text, const QString &prefix, const QString &opening, bool greedy)
{
    for (const Line &line : linesOf(text)) {
        qsizetype from = line.begin;
        if (!prefix.isEmpty()) {
            const qsizetype at = findIn(text, prefix, line.begin, line.end);
            if (at < 0)
                continue;
            from = at + prefix.size(); // later starts on this line could only do worse
        }
        QList<qsizetype> openings;
        for (qsizetype at = findIn(text, opening, from, line.end); at >= 0;
             at = findIn(text, opening, at + 1, line.end)) {
            openings.append(at);
            if (!greedy)
                break;
        }
        for (qsizetype k = openings.size() - 1; k >= 0; --k) {
            const qsizetype valueStart = openings.at(k) + opening.size();
            const qsizetype close = findIn(text, u"'"_s, valueStart, line.end);
            if (close >= 0)
                return text.mid(valueStart, close - valueStart);
        }
    }
    return std::nullopt;
}

void compare(const QString &text, const QString &pattern, const std::optional<QString> &expected)
{
    const std::optional<QString> found = PackageRecord::getAPKPropertyWithInfo(text, pattern);
    FUZZ_CHECK(found == expected, "%s: found %s, expected %s", qPrintable(pattern),
        found ? FuzzSupport::printable(*found).constData() : "nothing",
        expected ? FuzzSupport::printable(*expected).constData() : "nothing");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));

    compare(text, PackageRecord::PackageNamePattern, scan(text, u"package"_s, u"name='"_s, false));
    compare(text, PackageRecord::VersionNamePattern, scan(text, QString(), u"versionName='"_s, false));
    compare(text, PackageRecord::VersionCodePattern, scan(text, QString(), u"versionCode='"_s, false));
    compare(text, PackageRecord::LabelPattern, scan(text, QString(), u"application-label:'"_s, false));
    const std::optional<QString> icon = scan(text, u"application"_s, u"icon='"_s, true);
    compare(text, PackageRecord::IconPattern, icon);

    const QString entry = PackageRecord::apkIconEntry(text);
    FUZZ_CHECK(entry == (icon ? ZipReader::safePath(*icon) : QString()), "icon entry %s",
        FuzzSupport::printable(entry).constData());
    FUZZ_CHECK(entry.isEmpty() || (!entry.startsWith(u'/') && !entry.split(u'/').contains(u".."_s)),
        "an icon entry that leaves the folder: %s", FuzzSupport::printable(entry).constData());

    static const QString package = [] {
        const QString path = FuzzSupport::scratchFolder() + u"/package.apk"_s;
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write("PK");
        return path;
    }();
    QVariantMap record { { u"left over"_s, 1 } };
    PackageRecord::fillApkRecord(record, text, package, u"/unpacked"_s);
    FUZZ_CHECK(record.size() == 7 && !record.contains(u"left over"_s), "the record has %d keys", int(record.size()));
    const QString iconPath = record.value(u"iconPath"_s).toString();
    FUZZ_CHECK(entry.isEmpty() ? iconPath.isEmpty() : iconPath == u"/unpacked/"_s + entry, "icon path %s",
        FuzzSupport::printable(iconPath).constData());
    return 0;
}
