#pragma once

#include "server/FormFields.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the desktop client puts on the wire, as rules the service can check. Every check returns
// an empty string when the request keeps to the rule, otherwise a Chinese sentence that names the
// difference (shown to whoever sent it). Strict mode applies them all; the lenient mode only the
// ones a request cannot be understood without.
namespace WireRules {

// The fixed key every call carries in "_api_key".
inline constexpr char apiKey[] = "7c1e4a90d25b3f86e0a9c4d71b2f5e38";
QString apiKeyText();

// The eight text fields of a package upload, in the order the client sends them.
QStringList uploadFieldNames();
// "application/iphone-package-archive" when the file name ends in "ipa", else the Android type.
QString uploadContentTypeFor(const QString &fileName);

enum class BodyKind { UrlEncoded, Multipart, Other };
BodyKind bodyKind(const QString &contentType);

// Content-Type of an API call: the URL-encoded form or the multipart form with the
// "0xKhTmLbOuNdArY-<UUID>" boundary.
QString checkApiContentType(const QString &contentType);
// Content-Type of the package upload: multipart with the "Boundary+<16 hex>" boundary.
QString checkUploadContentType(const QString &contentType);

// Parses a URL-encoded body. Strict: every byte other than letters, digits, "-", "_" and "."
// must be written as "%XX" with upper-case hex, and nothing else may be encoded; pairs are
// joined by single "&". Lenient: the usual decoding ("+" is a space). Returns the departure.
QString parseUrlEncoded(const QByteArray &body, bool strict, FormFields *fields);

// "_uId", "_api_key" and "_token" are present (values may be empty).
QString checkCommonFields(const FormFields &fields);
// No field appears twice.
QString checkNoDuplicates(const FormFields &fields);
// The fields besides the common three are what the client's operation for this module/action
// sends (its list, cut after any leading part). Paths the client does not know pass.
QString checkOperationFields(const QString &moduleAction, const FormFields &fields);
// True for the module/action paths that the client's catalogue names.
bool isCatalogued(const QString &moduleAction);

// The Host header names this service: the listening address or "localhost", with the port
// (omitted only for port 80). anyHost: listening on every address, so only the port counts.
QString checkHost(const QString &hostHeader, const QString &listenHost, quint16 port, bool anyHost);

// Order and form of the parts of a package upload, fed part by part as their headers arrive.
class UploadParts final
{
public:
    explicit UploadParts(bool strict) : m_strict(strict) {}
    // Returns the departure, if any, of this part's header.
    QString onPart(const QString &name, const QString &fileName, const QString &contentType);
    // Called when the body has ended; reports what is missing.
    QString finish() const;
    bool inFilePart() const { return m_inFile; }

private:
    bool m_strict;
    int m_index = 0;
    bool m_inFile = false;
    bool m_sawFile = false;
};

// Order and form of the parts of a multipart API call: values, then at most one "Filedata"
// file, then "image[]" images.
class ApiParts final
{
public:
    QString onPart(const QString &name, const QString &fileName, const QString &contentType);

private:
    int m_stage = 0; // 0 values, 1 after Filedata, 2 images
};

} // namespace WireRules
