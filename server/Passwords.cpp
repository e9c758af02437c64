#include "server/Passwords.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        bytes[i] = char(QRandomGenerator::system()->bounded(256));
    return bytes;
}

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, iterations, 32);
}

// Comparison whose time does not depend on where the first difference lies.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= uchar(a.at(i)) ^ uchar(b.at(i));
    return diff == 0;
}

} // namespace

QString Passwords::hash(const QString &password, int iterations)
{
    const QByteArray salt = randomBytes(16);
    return u"pbkdf2-sha256$%1$%2$%3"_s.arg(iterations).arg(QString::fromLatin1(salt.toBase64()),
                                                          QString::fromLatin1(derive(password, salt, iterations).toBase64()));
}

bool Passwords::verify(const QString &password, const QString &stored)
{
    const QStringList parts = stored.split(u'$');
    if (parts.size() != 4 || parts.at(0) != u"pbkdf2-sha256"_s)
        return false;
    bool ok = false;
    const int iterations = parts.at(1).toInt(&ok);
    if (!ok || iterations < 1 || iterations > 10'000'000)
        return false;
    const QByteArray salt = QByteArray::fromBase64(parts.at(2).toLatin1());
    const QByteArray expected = QByteArray::fromBase64(parts.at(3).toLatin1());
    if (salt.isEmpty() || expected.size() != 32)
        return false;
    return sameBytes(derive(password, salt, iterations), expected);
}

QString Passwords::randomKey(int hexDigits)
{
    return QString::fromLatin1(randomBytes((hexDigits + 1) / 2).toHex().left(hexDigits));
}
