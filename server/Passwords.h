#pragma once

#include <QString>

// Salted PBKDF2-HMAC-SHA256 password hashes, stored as
// "pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>". Each hash names its own count, so
// hashes made with fewer rounds still verify after the default has risen.
namespace Passwords {
// Current guidance for PBKDF2-HMAC-SHA256.
inline constexpr int defaultIterations = 600000;
QString hash(const QString &password, int iterations = defaultIterations);
bool verify(const QString &password, const QString &stored);
// The count a stored hash was made with; 0 when the text is no hash of this form.
int iterationsOf(const QString &stored);
// Equality in a time that depends on neither the contents nor the lengths.
bool sameText(const QString &a, const QString &b);
// 32 lower-case hex digits from the system's random source (user keys, tokens, app keys).
QString randomKey(int hexDigits = 32);
} // namespace Passwords
