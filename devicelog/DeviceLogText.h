#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The cutting and rewriting of the device log tool's output: pure functions of their text,
// safe to call from any thread.
//
// The patterns use ICU's meaning of \w, \s and \d, spelled out as Unicode classes so that the
// matching does not depend on the regex engine's own notion of them:
//   \w  [\p{Alphabetic}\p{Mark}\p{Decimal_Number}\p{Connector_Punctuation}\x{200C}\x{200D}]
//   \s  [\t\n\f\r\p{Z}]   (no vertical tab, no U+0085)
//   \d  \p{Decimal_Number}
class DeviceLogText final
{
public:
    // A character range in UTF-16 units; empty (0, 0) when nothing was found.
    struct Range
    {
        qsizetype location = 0;
        qsizetype length = 0;
        bool isEmpty() const { return length == 0; }
        friend bool operator==(const Range &, const Range &) = default;
    };

    // The whole road of one chunk read from the tool: decoded as UTF-8 (a chunk that does not
    // decode yields nothing), its leading line feed dropped, cut into entries, entries that are
    // empty or a lone line feed dropped, and each remaining entry rewritten. Entries are not
    // carried over from one chunk to the next.
    //
    // With a carry, the bytes of a character cut at the chunk's end (at most three) are held
    // back in it and put in front of the next chunk, instead of costing the whole chunk. Without
    // one, such a chunk does not decode.
    static QStringList entriesFromChunk(const QByteArray &chunk, QByteArray *carry = nullptr);

    // Drops one leading line feed from a text longer than one character.
    static QString removeNewLineAtBegining(const QString &text);
    // Cuts before every timestamp that follows a line feed: every entry but the last ends with
    // that line feed, every entry after the first begins with its timestamp's month.
    static QStringList seperateLog(const QString &text);
    // "name[123] <Notice>" becomes "name → " followed by " <Notice>" (first match only).
    static QString replaceProcessIdWithArrow(const QString &entry);
    // Removes a leading word, white space, number and one white-space character (the month and day).
    static QString removeMonthDateString(const QString &entry);
    // Whether the entry begins with a time "HH:MM:SS".
    static bool hasTimeStringString(const QString &entry);
    // The process name of a rewritten entry ("HH:MM:SS device process →"); empty without an
    // arrow, or when device or process name holds characters other than word characters.
    static Range rangeOfProcessName(const QString &entry);

    // replaceProcessIdWithArrow then removeMonthDateString.
    static QString rewriteEntry(const QString &entry);

    static inline const QString kArrow = QStringLiteral("\u2192");
};
