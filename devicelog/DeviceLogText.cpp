#include "devicelog/DeviceLogText.h"

#include "app/DataCheck.h"

#include <QRegularExpression>
#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace {

// ICU's \w, \s and \d (see the header).
#define QL_W "[\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}]"
#define QL_S "[\\t\\n\\f\\r\\p{Z}]"
#define QL_D "\\p{Nd}"

// Each thread compiles its own copy (the reader's thread cuts while the main thread styles).
QRegularExpression compiled(const QString &pattern)
{
    QRegularExpression expression(pattern);
    expression.optimize();
    Q_ASSERT(expression.isValid());
    return expression;
}

// A line feed, then "Mon dd HH:MM:SS" with one or two blanks before the day.
const QRegularExpression &boundaryExpression()
{
    thread_local const QRegularExpression expression
        = compiled(QStringLiteral("\\n" QL_W "{3}" QL_S "{1,2}" QL_D "{1,2}" QL_S QL_D "{2}:" QL_D "{2}:" QL_D "{2}"));
    return expression;
}

const QRegularExpression &processIdExpression()
{
    thread_local const QRegularExpression expression = compiled(u"(\\[[0-9]+\\]) <"_s);
    return expression;
}

const QRegularExpression &monthDateExpression()
{
    thread_local const QRegularExpression expression = compiled(QStringLiteral("^" QL_W "+" QL_S "+" QL_D "+" QL_S));
    return expression;
}

const QRegularExpression &timeExpression()
{
    thread_local const QRegularExpression expression = compiled(QStringLiteral("^" QL_D "{2}:" QL_D "{2}:" QL_D "{2}"));
    return expression;
}

const QRegularExpression &processNameExpression()
{
    // "^\d{2}:\d{2}:\d{2}\s\w+\s(\w+)\s%@" with the arrow in place of the placeholder.
    thread_local const QRegularExpression expression
        = compiled(QStringLiteral("^" QL_D "{2}:" QL_D "{2}:" QL_D "{2}" QL_S QL_W "+" QL_S "(" QL_W "+)" QL_S)
            + QRegularExpression::escape(DeviceLogText::kArrow));
    return expression;
}

#undef QL_W
#undef QL_S
#undef QL_D

// The length of a UTF-8 sequence that begins well but is cut off by the end of the bytes (1 to
// 3), or 0.
qsizetype incompleteCharacterAtEnd(const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const uchar byte = uchar(bytes.at(size - back));
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: the sequence starts further back
        const qsizetype length = (byte & 0xE0) == 0xC0 ? 2 : (byte & 0xF0) == 0xE0 ? 3 : (byte & 0xF8) == 0xF0 ? 4 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

} // namespace

QStringList DeviceLogText::entriesFromChunk(const QByteArray &chunk, QByteArray *carry)
{
    if (chunk.isEmpty())
        return {};
    QByteArray bytes = chunk;
    if (carry) {
        bytes.prepend(*carry);
        carry->clear();
        const qsizetype cut = incompleteCharacterAtEnd(bytes);
        if (cut > 0) {
            *carry = bytes.right(cut);
            bytes.chop(cut);
        }
    }
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    QStringList entries = seperateLog(removeNewLineAtBegining(text));
    entries.removeIf([](const QString &entry) { return !DataCheck::isValidString(entry); });
    for (QString &entry : entries)
        entry = rewriteEntry(entry);
    return entries;
}

QString DeviceLogText::removeNewLineAtBegining(const QString &text)
{
    if (text.startsWith(u'\n') && text.size() > 1)
        return text.mid(1);
    return text;
}

QStringList DeviceLogText::seperateLog(const QString &text)
{
    if (text.isEmpty())
        return {};
    QStringList entries;
    qsizetype start = 0;
    QRegularExpressionMatchIterator it = boundaryExpression().globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const qsizetype end = match.capturedStart() + 1; // up to and including the line feed
        entries.append(text.mid(start, end - start));
        start = end;
    }
    entries.append(start == 0 ? text : text.mid(start));
    return entries;
}

QString DeviceLogText::replaceProcessIdWithArrow(const QString &entry)
{
    const QRegularExpressionMatch match = processIdExpression().match(entry);
    if (!match.hasMatch())
        return entry;
    QString result = entry;
    result.replace(match.capturedStart(1), match.capturedLength(1), u' ' + kArrow + u' ');
    return result;
}

QString DeviceLogText::removeMonthDateString(const QString &entry)
{
    const QRegularExpressionMatch match = monthDateExpression().match(entry);
    if (!match.hasMatch())
        return entry;
    return entry.mid(match.capturedEnd());
}

bool DeviceLogText::hasTimeStringString(const QString &entry)
{
    return timeExpression().match(entry).hasMatch();
}

DeviceLogText::Range DeviceLogText::rangeOfProcessName(const QString &entry)
{
    if (!entry.contains(kArrow))
        return {};
    const QRegularExpressionMatch match = processNameExpression().match(entry);
    if (!match.hasMatch())
        return {};
    return { match.capturedStart(1), match.capturedLength(1) };
}

QString DeviceLogText::rewriteEntry(const QString &entry)
{
    return removeMonthDateString(replaceProcessIdWithArrow(entry));
}
