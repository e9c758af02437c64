#pragma once

#include <QString>
#include <QStringView>
#include <QVariant>

// Keeps secrets out of the process log, whatever categories are on. Two layers:
//   - the places that log request fields, replies and addresses mask them member by member
//     (masked(), maskedText()), so that each line keeps its shape with "***" for every secret;
//   - the message handler that install() puts in front of every log line masks the secrets the
//     process has met (remember()) wherever they appear, and every "name=value",
//     "\"name\": value" or QDebug "(\"name\", QVariant(…, value))" pair whose name is a secret's.
// Secrets are met where they enter the process: the stored session, the fields of each call and
// the data of each reply.
namespace LogMask {

inline constexpr QStringView kMask = u"***";

// A field or member that holds a secret: a password, the session key ("userKey", "uKey",
// "_uId"), a token, a verification code, and anything else named like a key or a token.
bool isSecretName(QStringView name);

// The value with the value of every secret member replaced by "***", at any depth of maps and
// lists; an empty value stays empty (it shows that nothing was sent).
QVariant masked(const QVariant &value);

// The text with every secret member's value and every remembered secret replaced by "***".
QString maskedText(const QString &text);

// Remembers the values of the secret members of a value, at any depth, so that maskedText()
// masks them wherever they appear. remember() takes one secret. Values shorter than four
// characters (the logged-out key "0", an empty token) are left alone: masking them would mask
// every such run of characters. At most the 64 most recent secrets are kept.
void rememberSecrets(const QVariant &value);
void remember(const QString &secret);

// Passes every message of the process through maskedText() before the handler that was in
// place. Idempotent; call it at the start of main().
void install();

} // namespace LogMask
