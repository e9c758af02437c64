#pragma once

#include <QVariant>

// Decides whether a value taken from a service reply or from the preferences store is usable.
// Values are what QJsonValue::toVariant and the preferences store produce: QString, numbers,
// bool, QVariantMap, QVariantList, the JSON null (std::nullptr_t) or an invalid QVariant.
class DataCheck final
{
public:
    // A string other than "" and a lone line feed.
    static bool isValidString(const QVariant &value);
    // A string-keyed map with at least one entry.
    static bool isValidDictionary(const QVariant &value);
    // An array with at least one element.
    static bool isValidArray(const QVariant &value);
    // The account screens' e-mail check: the whole text matches
    // "[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,6}" (case-sensitive as written). A null text fails.
    static bool isValidEmail(const QString &text);

    // The integer value of a setting or reply value: a number's value (a fraction truncated),
    // the leading decimal integer of a string (after leading blanks, with an optional sign),
    // 1 for true; anything else, and an absent value, is 0. Out-of-range values saturate.
    static int intValue(const QVariant &value);
};
