#include "app/LogMask.h"

#include <QMutex>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kShortestSecret = 4;
constexpr qsizetype kRememberedSecrets = 64;

// Log lines come from every thread, and may come while static objects are being destroyed: the
// list is guarded and never destroyed.
struct Secrets
{
    QMutex mutex;
    QStringList list;
};
Secrets &secrets()
{
    static Secrets *s = new Secrets;
    return *s;
}
QtMessageHandler g_previous = nullptr;

QVariant maskedMember(const QVariant &value)
{
    if (value.isNull())
        return value;
    if (value.canConvert<QString>() && value.toString().isEmpty())
        return value;
    return LogMask::kMask.toString();
}

// Replaces the value group of every match whose name group is a secret's; quoted values keep
// their quotes.
QString maskPairs(const QString &text, const QRegularExpression &pattern)
{
    QString out;
    qsizetype done = 0;
    for (QRegularExpressionMatchIterator it = pattern.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (!LogMask::isSecretName(match.capturedView(u"name")))
            continue;
        const QStringView value = match.capturedView(u"value");
        const bool quoted = value.size() >= 2 && value.startsWith(u'"');
        if ((quoted ? value.size() - 2 : value.size()) == 0)
            continue;
        out += QStringView(text).sliced(done, match.capturedStart(u"value") - done);
        out += quoted ? u"\"***\""_s : LogMask::kMask.toString();
        done = match.capturedEnd(u"value");
    }
    if (done == 0)
        return text;
    out += QStringView(text).sliced(done);
    return out;
}

QString maskRemembered(QString text)
{
    QStringList known;
    {
        QMutexLocker lock(&secrets().mutex);
        known = secrets().list;
    }
    // Longer secrets first, so that one holding another is masked whole.
    std::stable_sort(
        known.begin(), known.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &secret : std::as_const(known))
        text.replace(secret, LogMask::kMask.toString());
    return text;
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_previous(type, context, LogMask::maskedText(message));
}

} // namespace

bool LogMask::isSecretName(QStringView name)
{
    const QString lower = name.toString().toLower();
    for (const QStringView word : { u"password", u"passwd", u"token", u"secret", u"validcode", u"key_" }) {
        if (lower.contains(word))
            return true;
    }
    // userKey, uKey, _api_key, appKey, a_key, releaseKey; not "keyword"
    return lower.endsWith(u"key") || lower.endsWith(u"keys") || lower == u"_uid" || lower == u"uid";
}

QVariant LogMask::masked(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            it.value() = isSecretName(it.key()) ? maskedMember(it.value()) : masked(it.value());
        return map;
    }
    case QMetaType::QVariantHash: {
        QVariantHash hash = value.toHash();
        for (auto it = hash.begin(); it != hash.end(); ++it)
            it.value() = isSecretName(it.key()) ? maskedMember(it.value()) : masked(it.value());
        return hash;
    }
    case QMetaType::QVariantList: {
        QVariantList list = value.toList();
        for (QVariant &item : list)
            item = masked(item);
        return list;
    }
    default:
        return value;
    }
}

QString LogMask::maskedText(const QString &text)
{
    // "name": "value" or "name": 123 (JSON); ("name", QVariant(QString, "value")) (QDebug of a
    // map); name=value (forms, queries, cookies).
    static const QRegularExpression json(
        uR"re("(?<name>[^"\\]{1,64})"\s*:\s*(?<value>"(?:[^"\\]|\\.)*"|-?[0-9][0-9.eE+-]*))re"_s);
    static const QRegularExpression debugMap(
        uR"re(\("(?<name>[^"\\]{1,64})", QVariant\([A-Za-z0-9_:<>]+, (?<value>"(?:[^"\\]|\\.)*"|[^()]*)\)\))re"_s);
    static const QRegularExpression pair(
        uR"re((?<![A-Za-z0-9_])(?<name>[A-Za-z_][A-Za-z0-9_]{0,63})=(?<value>[^&\s"',;)]+))re"_s);
    QString out = maskRemembered(text);
    for (const QRegularExpression *pattern : { &json, &debugMap, &pair })
        out = maskPairs(out, *pattern);
    return out;
}

void LogMask::remember(const QString &secret)
{
    if (secret.size() < kShortestSecret || secret == kMask)
        return;
    QMutexLocker lock(&secrets().mutex);
    QStringList &list = secrets().list;
    list.removeAll(secret);
    list.append(secret);
    if (list.size() > kRememberedSecrets)
        list.removeFirst();
}

void LogMask::rememberSecrets(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (isSecretName(it.key()) && it.value().canConvert<QString>())
                remember(it.value().toString());
            else
                rememberSecrets(it.value());
        }
        break;
    }
    case QMetaType::QVariantList:
        for (const QVariant &item : value.toList())
            rememberSecrets(item);
        break;
    default:
        break;
    }
}

void LogMask::install()
{
    static std::once_flag once;
    std::call_once(once, [] { g_previous = qInstallMessageHandler(handleMessage); });
}
