#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <utility>

// The byte layouts both transports put on the wire, as pure functions (no I/O), so that the
// exact texts can be checked on their own and reproduced by a peer.
namespace WireFormat {

using Pair = std::pair<QString, QString>;

// Form rule: every UTF-8 byte other than an ASCII letter, digit, "-", "_" or "." becomes "%XX"
// (upper-case hex); a space is "%20", a tilde "%7E".
QByteArray percentEncodeForm(const QString &text);

// "name=value&name=value" over percentEncodeForm, in the given order.
QByteArray urlEncodedBody(const QList<Pair> &values);

// The text of a form value: a string as it is, an integer in decimal, a fraction in its
// shortest decimal form, a boolean as "1"/"0", null or absent as "", maps and lists as
// compact JSON.
QString valueText(const QVariant &value);

// "0xKhTmLbOuNdArY-" and a fresh upper-case UUID (form transport).
QString formBoundary();
// "Boundary+" and two random 32-bit numbers as 16 upper-case hex digits (upload transport).
QString uploadBoundary();

// A field or file name inside a Content-Disposition header. Names are written unescaped except
// for the three bytes that would break the framing: '"' as %22, CR as %0D, LF as %0A.
QByteArray dispositionName(const QString &name);

// "Content-Disposition: form-data; name=\"n\"" (plus "; filename=\"f\"" when fileName is set).
QByteArray contentDisposition(const QString &name, const std::optional<QString> &fileName);

// User-Agent of API calls: "%@ %@ (%@; %@ %@; %@)" with the application name and version,
// the platform family ("Linux"), the operating system's name and its version as
// "major.minor.patch", and the locale identifier, e.g. "Quillo 1.0.0 (Linux; Debian 12.0.0; en_US)".
QString formUserAgent();
// User-Agent of the package upload: "%@/%@ (%@)" with the executable name, the version and the
// operating system's name and version text, reduced to printable ASCII,
// e.g. "quillo/1.0.0 (Debian GNU/Linux 12 (bookworm))".
QString uploadUserAgent();

// Accept-Language of the upload: the first six of the languages, each "%@;q=%0.1g" with
// q = 1, 0.9 ... 0.5, joined by ", ".
QString acceptLanguage(const QStringList &languages);
// The user's preferred languages (duplicates removed; the C locale reads as "en").
QStringList preferredLanguages();

// Content type for a file name by its extension; "application/octet-stream" when unknown.
QString contentTypeForFileName(const QString &fileName);

// The lower-cased media type of a Content-Type value, without parameters.
QByteArray mediaType(const QByteArray &contentType);
// The "charset=" parameter of a Content-Type value (quotes removed), or empty.
QByteArray charsetOf(const QByteArray &contentType);

// Decodes a reply body by the character set its Content-Type names, or by defaultEncoding
// when it names none or an unknown one. A body that is not valid in that set yields nullopt.
std::optional<QString> decodeText(const QByteArray &body, const QByteArray &contentType,
                                  const QByteArray &defaultEncoding);

// Parses any JSON value (object, array or scalar); nullopt when the text is not JSON.
std::optional<QVariant> parseJson(const QByteArray &text);

// Lower-case English reason phrase of an HTTP status ("internal server error"), or "unknown".
QString statusText(int status);

} // namespace WireFormat
