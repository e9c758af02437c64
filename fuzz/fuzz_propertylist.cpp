// Property lists in both forms, as an Info.plist or a profile's XML comes out of a package.
//
// Besides crashes, hangs and leaks it checks that
//  - the three readers agree: fromData, dictionaryFromData, and dictionaryFromData with keys;
//  - the same content in the other form reads as the same value (libplist writes the other
//    form; the comparison allows for what the XML form cannot carry exactly).

#include "fuzz/FuzzSupport.h"
#include "inspect/PropertyList.h"

#include <QDateTime>
#include <QDebug>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <algorithm>

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

// XML keeps reals in decimal and dates to the second; integers are compared as 64-bit patterns
// (libplist 2.2 does not say whether a large one was unsigned).
bool sameContent(const QVariant &a, const QVariant &b)
{
    if (a.typeId() != b.typeId()) {
        const bool integers = (a.typeId() == QMetaType::LongLong || a.typeId() == QMetaType::ULongLong)
            && (b.typeId() == QMetaType::LongLong || b.typeId() == QMetaType::ULongLong);
        return integers && a.toULongLong() == b.toULongLong();
    }
    switch (a.typeId()) {
    case QMetaType::Double: {
        const double x = a.toDouble();
        const double y = b.toDouble();
        if (std::isnan(x) || std::isnan(y))
            return std::isnan(x) == std::isnan(y);
        if (std::isinf(x) || std::isinf(y))
            return x == y;
        return std::fabs(x - y) <= 1e-6 * std::max({ 1.0, std::fabs(x), std::fabs(y) });
    }
    case QMetaType::QDateTime:
        return a.toDateTime().toSecsSinceEpoch() == b.toDateTime().toSecsSinceEpoch()
            || std::llabs(a.toDateTime().toMSecsSinceEpoch() - b.toDateTime().toMSecsSinceEpoch()) < 1000;
    case QMetaType::QVariantList: {
        const QVariantList x = a.toList();
        const QVariantList y = b.toList();
        if (x.size() != y.size())
            return false;
        for (qsizetype i = 0; i < x.size(); ++i) {
            if (!sameContent(x.at(i), y.at(i)))
                return false;
        }
        return true;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap x = a.toMap();
        const QVariantMap y = b.toMap();
        if (x.keys() != y.keys())
            return false;
        for (auto it = x.cbegin(); it != x.cend(); ++it) {
            if (!sameContent(it.value(), y.value(it.key())))
                return false;
        }
        return true;
    }
    default:
        return a == b;
    }
}

// What the other form does not carry unchanged: text with characters XML 1.0 forbids (libplist
// writes them as they are), text that was not valid UTF-8 (libplist's writer cuts it at the first
// bad byte; it reads as U+FFFD here), keys with a NUL (cut there), and dates libplist writes wrongly.
bool xmlCanCarry(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString: {
        for (const QChar c : value.toString()) {
            if ((c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c.unicode() == 0xFFFE
                || c.unicode() == 0xFFFF || c.unicode() == 0xFFFD || c == u'\r')
                return false;
        }
        return true;
    }
    case QMetaType::QDateTime: {
        const int year = value.toDateTime().date().year();
        return year >= 1970 && year <= 2037; // libplist's XML dates: 32-bit seconds, none before 1970
    }
    case QMetaType::Double:
        return std::isfinite(value.toDouble());
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        return std::all_of(list.cbegin(), list.cend(), xmlCanCarry);
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!xmlCanCarry(QVariant(it.key())) || !xmlCanCarry(it.value()))
                return false;
        }
        return true;
    }
    case QMetaType::ULongLong: // a UID has no XML form of its own
        return false;
    default:
        return true;
    }
}

// The same content in the other form, written by libplist; empty when it cannot.
QByteArray otherForm(const QByteArray &data)
{
    plist_t root = nullptr;
    const auto length = static_cast<uint32_t>(data.size());
    const bool binary = plist_is_binary(data.constData(), length) != 0;
    if (binary)
        plist_from_bin(data.constData(), length, &root);
    else
        plist_from_xml(data.constData(), length, &root);
    if (!root)
        return {};
    char *out = nullptr;
    uint32_t outLength = 0;
    if (binary)
        plist_to_xml(root, &out, &outLength);
    else
        plist_to_bin(root, &out, &outLength);
    plist_free(root);
    QByteArray result(out ? out : "", out ? qsizetype(outLength) : 0);
    std::free(out);
    return result;
}

QByteArray describe(const QVariant &value)
{
    QString text;
    QDebug(&text) << value;
    return FuzzSupport::printable(text, 600);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    const QVariant value = PropertyList::fromData(bytes);
    const std::optional<QVariantMap> dictionary = PropertyList::dictionaryFromData(bytes);
    const bool isMap = value.isValid() && value.typeId() == QMetaType::QVariantMap;
    FUZZ_CHECK(isMap == dictionary.has_value(), "fromData gives %s, dictionaryFromData %s", value.typeName(),
        dictionary ? "a dictionary" : "nothing");
    if (dictionary)
        FUZZ_CHECK(sameContent(QVariant(*dictionary), value), "the two readers give different dictionaries");

    // A few keys, as the archive model and the inspection ask for them.
    static const QStringList keys { u"CFBundleIdentifier"_s, u"CFBundleVersion"_s, u"Name"_s, u"a"_s };
    const std::optional<QVariantMap> some = PropertyList::dictionaryFromData(bytes, nullptr, keys);
    if (dictionary) {
        FUZZ_CHECK(some.has_value(), "a dictionary, but not when only some keys are asked for");
        for (auto it = some->cbegin(); it != some->cend(); ++it) {
            FUZZ_CHECK(dictionary->contains(it.key()) && sameContent(dictionary->value(it.key()), it.value()),
                "key %s reads differently when asked for alone", qPrintable(it.key()));
        }
        for (const QString &key : keys)
            FUZZ_CHECK(dictionary->contains(key) == some->contains(key), "key %s missing", qPrintable(key));
    }

    if (value.isValid() && xmlCanCarry(value)) {
        const QByteArray other = otherForm(bytes);
        if (!other.isEmpty()) {
            const QVariant again = PropertyList::fromData(other);
            FUZZ_CHECK(again.isValid(), "libplist's own other form of a readable list does not read: %s",
                FuzzSupport::printable(other).constData());
            FUZZ_CHECK(sameContent(value, again), "the other form reads differently:\n  %s\n  %s",
                describe(value).constData(), describe(again).constData());
        }
    }
    return 0;
}
