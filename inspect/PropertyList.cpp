#include "inspect/PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QVariantList>
#include <QVariantMap>

#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

struct PlistDeleter
{
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Seconds of the property-list epoch (2001-01-01 UTC) after the Unix epoch.
constexpr qint64 PlistEpoch = 978307200;

bool convert(plist_t node, int depth, QVariant *out)
{
    if (!node || depth > PropertyList::MaxDepth)
        return false;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        *out = QVariant(value != 0);
        return true;
    }
    case PLIST_UINT: {
        // libplist keeps every integer as 64 bits; negative values come back in two's complement.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        *out = QVariant(static_cast<qlonglong>(static_cast<qint64>(value)));
        return true;
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        *out = QVariant(value);
        return true;
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char *text = plist_get_string_ptr(node, &length);
        if (!text || length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max()))
            return false;
        *out = QVariant(QString::fromUtf8(text, static_cast<qsizetype>(length)));
        return true;
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *bytes = plist_get_data_ptr(node, &length);
        if (length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max()))
            return false;
        *out = QVariant(QByteArray(bytes ? bytes : "", bytes ? static_cast<qsizetype>(length) : 0));
        return true;
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t microseconds = 0;
        // Deprecated from libplist 2.4 on; its replacement does not exist in 2.2.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        plist_get_date_val(node, &seconds, &microseconds);
#pragma GCC diagnostic pop
        const qint64 msecs = (PlistEpoch + seconds) * 1000 + microseconds / 1000;
        *out = QVariant(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC));
        return true;
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        *out = QVariant(static_cast<qulonglong>(value));
        return true;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        list.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            QVariant item;
            if (!convert(plist_array_get_item(node, i), depth + 1, &item))
                return false;
            list.append(item);
        }
        *out = QVariant(list);
        return true;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter)
            return false;
        bool ok = true;
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!key)
                break;
            QVariant item;
            if (ok && !convert(value, depth + 1, &item))
                ok = false;
            if (ok)
                map.insert(QString::fromUtf8(key), item);
            std::free(key);
        }
        std::free(iter);
        if (!ok)
            return false;
        *out = QVariant(map);
        return true;
    }
    default:
        return false;
    }
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

namespace {

// Big-endian unsigned of 1 to 8 bytes at `at`; false when it does not fit in the data.
bool readNumber(const QByteArray &data, quint64 at, quint64 bytes, quint64 *value)
{
    if (bytes < 1 || bytes > 8 || at > quint64(data.size()) || bytes > quint64(data.size()) - at)
        return false;
    quint64 result = 0;
    for (quint64 i = 0; i < bytes; ++i)
        result = (result << 8) | static_cast<unsigned char>(data.at(qsizetype(at + i)));
    *value = result;
    return true;
}

// The count of an object at `at` (its marker's low nibble, or the integer object after it when
// that is 0xF) and where its contents begin.
bool readCount(const QByteArray &data, quint64 at, quint64 *count, quint64 *contents)
{
    quint64 marker = 0;
    if (!readNumber(data, at, 1, &marker))
        return false;
    if ((marker & 0x0F) != 0x0F) {
        *count = marker & 0x0F;
        *contents = at + 1;
        return true;
    }
    quint64 intMarker = 0;
    if (!readNumber(data, at + 1, 1, &intMarker) || (intMarker & 0xF0) != 0x10 || (intMarker & 0x0F) > 3)
        return false;
    const quint64 bytes = quint64(1) << (intMarker & 0x0F);
    *contents = at + 2 + bytes;
    return readNumber(data, at + 2, bytes, count);
}

// Nodes libplist would build for a binary list. Objects may be shared, and libplist 2.2 builds a
// copy of a shared object for every reference to it: a few hundred bytes of nested arrays that
// refer to each other can stand for billions of nodes. Real Info.plists and profiles have a few
// thousand at most.
constexpr quint64 MaxBinaryNodes = 250000;

// What libplist 2.2 must not be given, found by walking a binary list from its root the way
// libplist would (every reference followed, shared objects as often as they are referred to),
// without building anything: more than MaxBinaryNodes nodes (a reference cycle never ends and
// lands here too), nesting deeper than PropertyList::MaxDepth (its parser takes quadratic time
// in the depth, and nothing that deep is converted anyway), or a dictionary key holding a
// U+0000 (only a UTF-16 key can; libplist aborts the process on it). Returns why, or an empty
// text. A list whose structure it cannot follow is left to libplist to refuse.
QString binaryRefusal(const QByteArray &data)
{
    const quint64 size = quint64(data.size());
    if (size < 8 + 32)
        return {};
    const quint64 trailer = size - 32;
    quint64 offsetSize = 0, refSize = 0, objects = 0, root = 0, table = 0;
    if (!readNumber(data, trailer + 6, 1, &offsetSize) || !readNumber(data, trailer + 7, 1, &refSize)
        || !readNumber(data, trailer + 8, 8, &objects) || !readNumber(data, trailer + 16, 8, &root)
        || !readNumber(data, trailer + 24, 8, &table))
        return {};
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || table >= size
        || objects > (size - table) / offsetSize || root >= objects)
        return {};
    auto markerOf = [&](quint64 index, quint64 *offset) {
        quint64 marker = 0;
        if (!readNumber(data, table + index * offsetSize, offsetSize, offset) || !readNumber(data, *offset, 1, &marker))
            return -1;
        return int(marker);
    };
    auto keyHoldsNul = [&](quint64 index) {
        quint64 offset = 0, count = 0, contents = 0;
        if (index >= objects || markerOf(index, &offset) >> 4 != 0x6 || !readCount(data, offset, &count, &contents)
            || contents > size || count > (size - contents) / 2)
            return false;
        for (quint64 i = 0; i < count; ++i) {
            if (data.at(qsizetype(contents + 2 * i)) == 0 && data.at(qsizetype(contents + 2 * i + 1)) == 0)
                return true;
        }
        return false;
    };

    struct Frame
    {
        quint64 refs; // offset of the first reference
        quint64 count; // references to follow
        quint64 next = 0;
        quint64 keys = 0; // the first `keys` references are dictionary keys
    };
    std::vector<Frame> stack;
    quint64 nodes = 0;
    auto enter = [&](quint64 index) -> QString {
        if (++nodes > MaxBinaryNodes)
            return u"more than %1 nodes"_s.arg(MaxBinaryNodes);
        quint64 offset = 0;
        const int marker = index < objects ? markerOf(index, &offset) : -1;
        const int type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD)
            return {}; // a leaf, or something libplist will refuse itself
        if (stack.size() > size_t(PropertyList::MaxDepth))
            return u"nested deeper than %1"_s.arg(PropertyList::MaxDepth);
        quint64 count = 0, contents = 0;
        if (!readCount(data, offset, &count, &contents))
            return {};
        const quint64 refs = type == 0xD ? count * 2 : count;
        if (count > size || contents > size || refs > (size - contents) / refSize)
            return {};
        stack.push_back({ contents, refs, 0, type == 0xD ? count : 0 });
        return {};
    };
    QString why = enter(root);
    while (why.isEmpty() && !stack.empty()) {
        Frame &frame = stack.back();
        if (frame.next == frame.count) {
            stack.pop_back();
            continue;
        }
        quint64 child = 0;
        const bool isKey = frame.next < frame.keys;
        if (!readNumber(data, frame.refs + frame.next * refSize, refSize, &child))
            return {};
        ++frame.next;
        if (isKey && keyHoldsNul(child))
            return u"a key holds a NUL character"_s;
        why = enter(child);
    }
    return why;
}

// The same limits for the XML form, whose parser builds each node once: nesting deeper than
// PropertyList::MaxDepth (libplist 2.2 frees a list recursively, so a few hundred thousand
// nested arrays overflow the stack). Counts <array> and <dict> against their end tags,
// skipping comments, CDATA, declarations and processing instructions.
QString xmlRefusal(const QByteArray &data)
{
    const QByteArrayView text(data);
    qsizetype depth = 0;
    qsizetype at = 0;
    auto skipPast = [&](QByteArrayView end) {
        const qsizetype found = text.indexOf(end, at);
        at = found < 0 ? text.size() : found + end.size();
    };
    while ((at = text.indexOf('<', at)) >= 0) {
        const QByteArrayView rest = text.sliced(at);
        if (rest.startsWith("<!--")) {
            skipPast("-->");
            continue;
        }
        if (rest.startsWith("<![CDATA[")) {
            skipPast("]]>");
            continue;
        }
        const qsizetype close = text.indexOf('>', at);
        if (close < 0)
            break;
        QByteArrayView tag = text.sliced(at + 1, close - at - 1).trimmed();
        at = close + 1;
        const bool closing = tag.startsWith('/');
        const bool empty = tag.endsWith('/');
        if (closing)
            tag = tag.sliced(1);
        qsizetype length = 0;
        while (length < tag.size() && tag.at(length) >= 'a' && tag.at(length) <= 'z')
            ++length;
        const QByteArrayView name = tag.first(length);
        if (name != "array" && name != "dict")
            continue;
        if (closing)
            depth = qMax<qsizetype>(0, depth - 1);
        else if (!empty && ++depth > PropertyList::MaxDepth + 1)
            return u"nested deeper than %1"_s.arg(PropertyList::MaxDepth);
    }
    return {};
}

// Parses either form; null (with *error set) when the bytes are not a property list.
PlistPtr parse(const QByteArray &data, QString *error)
{
    if (data.isEmpty()) {
        setError(error, u"empty input"_s);
        return nullptr;
    }
    if (data.size() > PropertyList::DefaultMaxBytes) {
        setError(error, u"larger than %1 bytes"_s.arg(PropertyList::DefaultMaxBytes));
        return nullptr;
    }
    const auto length = static_cast<uint32_t>(data.size());
    plist_t root = nullptr;
    // plist_from_memory changed its parameters in libplist 2.3; these two did not (only their
    // return type did, which is not used).
    const bool binary = plist_is_binary(data.constData(), length) != 0;
    if (const QString why = binary ? binaryRefusal(data) : xmlRefusal(data); !why.isEmpty()) {
        setError(error, (binary ? u"refused binary property list: "_s : u"refused XML property list: "_s) + why);
        return nullptr;
    }
    if (binary)
        plist_from_bin(data.constData(), length, &root);
    else
        plist_from_xml(data.constData(), length, &root);
    if (!root)
        setError(error, binary ? u"malformed binary property list"_s : u"malformed XML property list"_s);
    return PlistPtr(root);
}

} // namespace

QVariant PropertyList::fromData(const QByteArray &data, QString *error)
{
    const PlistPtr root = parse(data, error);
    if (!root)
        return {};
    QVariant value;
    if (!convert(root.get(), 0, &value)) {
        setError(error, u"unsupported or too deeply nested value"_s);
        return {};
    }
    return value;
}

std::optional<QVariantMap> PropertyList::dictionaryFromData(const QByteArray &data, QString *error,
                                                            const QStringList &keys)
{
    const PlistPtr root = parse(data, error);
    if (!root)
        return std::nullopt;
    if (plist_get_node_type(root.get()) != PLIST_DICT) {
        setError(error, u"the root is not a dictionary"_s);
        return std::nullopt;
    }
    QVariant value;
    if (keys.isEmpty()) {
        if (!convert(root.get(), 0, &value)) {
            setError(error, u"unsupported or too deeply nested value"_s);
            return std::nullopt;
        }
        return value.toMap();
    }
    // One pass over the entries, so that a key present twice reads as in the whole dictionary
    // (the later entry wins); plist_dict_get_item would give the first.
    QVariantMap map;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root.get(), &iter);
    for (;;) {
        char *key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(root.get(), iter, &key, &item);
        if (!key)
            break;
        const QString name = QString::fromUtf8(key);
        std::free(key);
        if (keys.contains(name)) {
            if (item && convert(item, 1, &value))
                map.insert(name, value);
            else
                map.remove(name);
        }
    }
    std::free(iter);
    return map;
}

std::optional<QVariantMap> PropertyList::dictionaryFromFile(const QString &path, QString *error, qint64 maxBytes,
                                                            const QStringList &keys)
{
    return dictionaryFromFileAt(AT_FDCWD, path, error, maxBytes, keys);
}

std::optional<QVariantMap> PropertyList::dictionaryFromFileAt(int directoryFd, const QString &path, QString *error,
                                                              qint64 maxBytes, const QStringList &keys)
{
    // Plain system calls: the recent-builds list reads one of these per archive, and QFile's
    // bookkeeping would cost as much as the parse.
    const int fd = ::openat(directoryFd, QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(error, QString::fromLocal8Bit(std::strerror(errno)));
        return std::nullopt;
    }
    const qint64 limit = qMin(maxBytes, DefaultMaxBytes);
    struct stat st {};
    QByteArray data;
    bool tooLarge = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= limit) {
        // One byte more than the size tells a file that grew meanwhile.
        data.resize(static_cast<qsizetype>(st.st_size) + 1);
        qsizetype filled = 0;
        for (;;) {
            const ssize_t n = ::read(fd, data.data() + filled, static_cast<size_t>(data.size() - filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            filled += n;
            if (filled < data.size())
                break; // a short read of a regular file is its end
            if (filled == data.size()) {
                if (filled > limit) {
                    tooLarge = true;
                    break;
                }
                data.resize(qMin<qint64>(limit + 1, data.size() * 2));
            }
        }
        data.truncate(filled);
    } else {
        tooLarge = S_ISREG(st.st_mode);
        if (!tooLarge) {
            ::close(fd);
            setError(error, u"not a regular file"_s);
            return std::nullopt;
        }
    }
    ::close(fd);
    if (tooLarge) {
        setError(error, u"larger than %1 bytes"_s.arg(limit));
        return std::nullopt;
    }
    return dictionaryFromData(data, error, keys);
}
