#include "app/DataCheck.h"

#include <QRegularExpression>
#include <QString>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

bool isNullish(const QVariant &value)
{
    return !value.isValid() || value.metaType() == QMetaType::fromType<std::nullptr_t>();
}

int saturate(long double number)
{
    if (std::isnan(number))
        return 0;
    if (number >= static_cast<long double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (number <= static_cast<long double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(number);
}

int leadingInteger(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    long double number = 0;
    for (; i < n && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i) {
        number = number * 10 + (text.at(i).unicode() - u'0');
        if (number > 1e12L)
            break; // already saturated
    }
    return saturate(negative ? -number : number);
}

} // namespace

bool DataCheck::isValidString(const QVariant &value)
{
    if (isNullish(value) || value.typeId() != QMetaType::QString)
        return false;
    const QString text = value.toString();
    return !text.isEmpty() && text != u"\n"_s;
}

bool DataCheck::isValidDictionary(const QVariant &value)
{
    if (isNullish(value))
        return false;
    if (value.typeId() == QMetaType::QVariantMap)
        return !value.toMap().isEmpty();
    if (value.typeId() == QMetaType::QVariantHash)
        return !value.toHash().isEmpty();
    return false;
}

bool DataCheck::isValidArray(const QVariant &value)
{
    if (isNullish(value))
        return false;
    if (value.typeId() == QMetaType::QVariantList)
        return !value.toList().isEmpty();
    if (value.typeId() == QMetaType::QStringList)
        return !value.toStringList().isEmpty();
    return false;
}

bool DataCheck::isValidEmail(const QString &text)
{
    if (text.isNull())
        return false;
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(u"[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,6}"_s));
    return pattern.match(text).hasMatch();
}

int DataCheck::intValue(const QVariant &value)
{
    if (isNullish(value))
        return 0;
    switch (value.typeId()) {
    case QMetaType::QString:
        return leadingInteger(value.toString());
    case QMetaType::Bool:
        return value.toBool() ? 1 : 0;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Double:
    case QMetaType::Float:
        return saturate(static_cast<long double>(value.toDouble()));
    default:
        return 0;
    }
}
