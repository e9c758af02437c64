#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// Property lists in the XML and the binary form, read with libplist (2.2 and later; only the
// parser entry points whose parameters are the same in 2.2 and 2.3 are used).
//
// Values come back as QVariant: string → QString, integer → qlonglong (qulonglong above the
// signed range), real → double, boolean → bool, date → QDateTime (UTC), data → QByteArray,
// array → QVariantList, dictionary → QVariantMap, UID → qulonglong.
class PropertyList final
{
public:
    // Files and byte strings larger than this are refused unread (real Info.plists are kilobytes).
    static constexpr qint64 DefaultMaxBytes = 16 * 1024 * 1024;
    // Deeper nesting than this is taken as a malformed list.
    static constexpr int MaxDepth = 256;

    // Parses bytes in either form (the binary form is told by its "bplist00" signature).
    // Returns an invalid QVariant when the bytes are not a property list; *error then says why.
    static QVariant fromData(const QByteArray &data, QString *error = nullptr);

    // A dictionary read from bytes or from a file. Nothing (std::nullopt) when the file is missing,
    // unreadable, larger than maxBytes, not a property list, or a list whose root is not a dictionary.
    // With keys given, only those entries of the root dictionary are converted (the others are
    // parsed but left out), which is what a reader of a few values of a large list wants.
    static std::optional<QVariantMap> dictionaryFromData(const QByteArray &data, QString *error = nullptr,
                                                         const QStringList &keys = {});
    static std::optional<QVariantMap> dictionaryFromFile(const QString &path, QString *error = nullptr,
                                                         qint64 maxBytes = DefaultMaxBytes,
                                                         const QStringList &keys = {});
    // The same for a path relative to an open folder (openat semantics; AT_FDCWD for the current one).
    static std::optional<QVariantMap> dictionaryFromFileAt(int directoryFd, const QString &path,
                                                           QString *error = nullptr, qint64 maxBytes = DefaultMaxBytes,
                                                           const QStringList &keys = {});
};
