// A service reply from the body bytes on: the body collected (inflated when gzip-encoded, capped),
// decoded as text by the character set its Content-Type names, and decoded as the JSON envelope.
//
// Input: one flag byte (bit 0: gzip; bits 1-7: where the body is split into pieces), the
// Content-Type up to the first line feed, then the body.
//
// Besides crashes, hangs and leaks it checks that
//  - the body never grows past its cap, and the same bytes in pieces give the same result;
//  - without a character set the text is read as UTF-8 exactly when the bytes are valid UTF-8;
//  - the envelope ends in exactly one of the outcomes the error table allows.

#include "api/CloudClientRequest.h"
#include "api/ReplyBody.h"
#include "api/WireFormat.h"
#include "fuzz/FuzzSupport.h"

#include <QVariantMap>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kCap = 256 * 1024;

struct Collected
{
    bool ok = false;
    QByteArray body;
};

Collected collect(const QByteArray &wire, bool gzip, const QList<qsizetype> &cuts)
{
    ReplyBody body(kCap);
    body.reset(gzip);
    bool ok = true;
    qsizetype from = 0;
    QList<qsizetype> ends = cuts;
    ends.append(wire.size());
    for (const qsizetype to : std::as_const(ends)) {
        if (to < from)
            continue;
        ok = body.append(wire.constData() + from, to - from) && ok;
        FUZZ_CHECK(body.data().size() <= kCap, "the body grew to %lld bytes", qlonglong(body.data().size()));
        from = to;
        if (!ok)
            break;
    }
    ok = ok && body.finish();
    return { ok, ok ? body.take() : QByteArray() };
}

bool isDecimalAtLeastOne(const QString &code)
{
    if (code.isEmpty() || code.at(0) == u'0')
        return false;
    for (const QChar c : code) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool gzip = data[0] & 1;
    const int splitSeed = data[0] >> 1;
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype lineEnd = rest.indexOf('\n');
    const QByteArray contentType = lineEnd < 0 ? QByteArray() : rest.left(lineEnd);
    const QByteArray wire = lineEnd < 0 ? rest : rest.mid(lineEnd + 1);

    const Collected whole = collect(wire, gzip, {});
    if (wire.size() > 1) {
        QList<qsizetype> cuts;
        for (int i = 1; i <= 3; ++i)
            cuts.append(qsizetype((qint64(splitSeed) * 7919 * i) % wire.size()));
        std::sort(cuts.begin(), cuts.end());
        const Collected pieces = collect(wire, gzip, cuts);
        FUZZ_CHECK(pieces.ok == whole.ok && pieces.body == whole.body,
            "in pieces the body reads differently (ok %d/%d, %lld/%lld bytes)", pieces.ok, whole.ok,
            qlonglong(pieces.body.size()), qlonglong(whole.body.size()));
    }
    if (!gzip)
        FUZZ_CHECK(whole.ok == (wire.size() <= kCap), "a plain body of %lld bytes is %s", qlonglong(wire.size()),
            whole.ok ? "taken" : "refused");
    if (!whole.ok)
        return 0;

    const std::optional<QString> text = WireFormat::decodeText(whole.body, contentType, "UTF-8");
    if (WireFormat::charsetOf(contentType).isEmpty()) {
        FUZZ_CHECK(text.has_value() == FuzzSupport::isValidUtf8(whole.body), "UTF-8 %s read as %s: %s",
            FuzzSupport::isValidUtf8(whole.body) ? "valid" : "invalid", text ? "text" : "no text",
            FuzzSupport::printable(whole.body).constData());
        // A byte-order mark at the start is dropped; everything else reads back as it came.
        const QByteArray expected = whole.body.startsWith("\xEF\xBB\xBF") ? whole.body.mid(3) : whole.body;
        if (text)
            FUZZ_CHECK(text->toUtf8() == expected, "UTF-8 text does not read back as its bytes");
    }

    const CloudClientRequest::Outcome outcome = CloudClientRequest::decodeReply(text);
    const QString trimmed = text ? text->trimmed() : QString();
    if (outcome.success) {
        FUZZ_CHECK(trimmed.startsWith(u'{') || trimmed.startsWith(u'['), "success without a JSON body");
        return 0;
    }
    const QVariantMap error = outcome.payload.toMap();
    FUZZ_CHECK(error.value(u"code"_s).typeId() == QMetaType::QString, "an error record without a text code");
    const QString code = error.value(u"code"_s).toString();
    if (trimmed.isEmpty()) {
        FUZZ_CHECK(code == u"1"_s, "an empty body gives code %s", qPrintable(code));
    } else if (!trimmed.startsWith(u'{') && !trimmed.startsWith(u'[')) {
        FUZZ_CHECK(code == u"2"_s, "a body that is not JSON gives code %s", qPrintable(code));
    } else {
        FUZZ_CHECK(isDecimalAtLeastOne(code), "a refusal with code %s", FuzzSupport::printable(code).constData());
        FUZZ_CHECK(error.size() <= 2, "an error record with extra members");
    }
    return 0;
}
