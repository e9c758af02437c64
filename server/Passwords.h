#pragma once

#include <QString>

// Salted PBKDF2-HMAC-SHA256 password hashes, stored as
// "pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>".
namespace Passwords {
QString hash(const QString &password, int iterations = 60000);
bool verify(const QString &password, const QString &stored);
// 32 lower-case hex digits from the system's random source (user keys, tokens, app keys).
QString randomKey(int hexDigits = 32);
} // namespace Passwords
