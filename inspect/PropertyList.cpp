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
#include <sys/stat.h>
#include <unistd.h>
#include <limits>
#include <memory>

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
    QVariantMap map;
    for (const QString &key : keys) {
        plist_t item = plist_dict_get_item(root.get(), key.toUtf8().constData());
        if (item && convert(item, 1, &value))
            map.insert(key, value);
    }
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
