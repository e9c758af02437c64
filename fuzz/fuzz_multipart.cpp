// The bodies the program frames, read back by an independent parser: cpp-httplib's server,
// the same code the stand-in service runs, fed through its request processing in memory (the
// upload), and its query parser (the URL-encoded form of an API call).
//
// From the input come an upload's text parameters (names and values of every kind a form may
// hold), the package's file name and bytes, and a URL-encoded form. The upload body is what
// UploadRequest sends; the form body is what WireFormat writes for an API call without files.
// Every part and field must read back as it went in: names as dispositionName writes them,
// values, file name, content type and file bytes exactly.

#include "api/FormRequest.h"
#include "api/UploadRequest.h"
#include "api/WireFormat.h"
#include "fuzz/FuzzSupport.h"
#include "upload/UploadFlow.h"

#include <QFile>
#include <QUrl>
#include <QVariantMap>

#include <fuzzer/FuzzedDataProvider.h>
#include <httplib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

struct Part
{
    std::string name;
    std::string filename;
    std::string contentType;
    std::string content;
};

struct Harness : httplib::Server
{
    std::vector<Part> parts;
    bool reached = false;

    Harness()
    {
        Post("/apiv1/app/upload",
            [this](const httplib::Request &, httplib::Response &res, const httplib::ContentReader &reader) {
                reached = true;
                reader(
                    [this](const httplib::MultipartFormData &file) {
                        parts.push_back({ file.name, file.filename, file.content_type, {} });
                        return true;
                    },
                    [this](const char *data, size_t length) {
                        if (parts.empty())
                            return false;
                        parts.back().content.append(data, length);
                        return true;
                    });
                res.status = 200;
            });
    }

    // One request through the server's own reading and routing.
    void serve(const std::string &request)
    {
        parts.clear();
        reached = false;
        httplib::detail::BufferStream stream;
        stream.write(request.data(), request.size());
        bool closed = false;
        process_request(stream, true, closed, [](httplib::Request &) {});
    }
};

std::string bytesOf(const QByteArray &bytes)
{
    return std::string(bytes.constData(), size_t(bytes.size()));
}

QVariant valueFrom(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0:
        return input.ConsumeIntegral<qlonglong>();
    case 1:
        return input.ConsumeFloatingPoint<double>();
    case 2:
        return input.ConsumeBool();
    default:
        return QString::fromStdString(input.ConsumeRandomLengthString(4096));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness harness;
    FuzzedDataProvider input(data, size);

    // Parameter names are the program's own few words; a hostile service or package can only
    // reach the values and the file name, but odd names are framed as well.
    QVariantMap parameters;
    const int count = input.ConsumeIntegralInRange(0, 10);
    for (int i = 0; i < count; ++i) {
        const QString name = QString::fromStdString(input.ConsumeRandomLengthString(64));
        if (!name.isEmpty())
            parameters.insert(name, valueFrom(input));
    }
    const bool withFile = input.ConsumeBool();
    const QString fileName = QString::fromStdString(input.ConsumeRandomLengthString(255));
    // Form values as an API call sets them (a name set again replaces its value).
    FormRequest request(QUrl(u"http://127.0.0.1/apiv1/user/login"_s));
    const int fieldCount = input.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < fieldCount; ++i) {
        const QString name = QString::fromStdString(input.ConsumeRandomLengthString(64));
        const QString value = QString::fromStdString(input.ConsumeRandomLengthString(1024));
        if (!name.isEmpty())
            request.setPostValue(name, value);
    }
    const QList<WireFormat::Pair> form = request.postValues();
    const std::string fileBytes = input.ConsumeRemainingBytesAsString();

    const QString path = FuzzSupport::scratchFolder() + u"/package.bin"_s;
    QFile::remove(path);
    if (withFile) {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly)
                && file.write(fileBytes.data(), qint64(fileBytes.size())) == qint64(fileBytes.size()),
            "cannot write the package");
    }

    const QString contentType = UploadFlow::contentTypeForFileName(fileName);
    const UploadRequest upload(
        QUrl(u"http://127.0.0.1/apiv1/app/upload"_s), parameters, path, u"file"_s, fileName, contentType);
    FUZZ_CHECK(upload.hasFilePart() == withFile, "file part %d, file %d", upload.hasFilePart(), withFile);
    const QByteArray body = upload.body()->toByteArray();
    FUZZ_CHECK(body.size() == upload.contentLength(), "Content-Length %lld for %lld bytes",
        qlonglong(upload.contentLength()), qlonglong(body.size()));

    harness.serve("POST /apiv1/app/upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary="
        + upload.boundary().toStdString() + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"
        + bytesOf(body));
    FUZZ_CHECK(harness.reached, "the server did not take the upload");
    std::vector<Part> expected;
    for (auto it = parameters.cbegin(); it != parameters.cend(); ++it)
        expected.push_back({ bytesOf(WireFormat::dispositionName(it.key())), {}, {},
            bytesOf(WireFormat::valueText(it.value()).toUtf8()) });
    if (withFile)
        expected.push_back(
            { "file", bytesOf(WireFormat::dispositionName(fileName)), contentType.toStdString(), fileBytes });
    // With neither parameters nor file the body is one empty part, which holds nothing to compare.
    if (!expected.empty()) {
        FUZZ_CHECK(harness.parts.size() == expected.size(), "%zu parts read back, %zu sent", harness.parts.size(),
            expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const Part &got = harness.parts[i];
            const Part &want = expected[i];
            FUZZ_CHECK(got.name == want.name, "part %zu is named %s, sent as %s", i,
                FuzzSupport::printable(QByteArray::fromStdString(got.name)).constData(),
                FuzzSupport::printable(QByteArray::fromStdString(want.name)).constData());
            FUZZ_CHECK(got.filename == want.filename, "part %zu has file name %s, sent %s", i,
                FuzzSupport::printable(QByteArray::fromStdString(got.filename)).constData(),
                FuzzSupport::printable(QByteArray::fromStdString(want.filename)).constData());
            FUZZ_CHECK(got.contentType == want.contentType, "part %zu has type %s", i, got.contentType.c_str());
            FUZZ_CHECK(got.content == want.content, "part %zu holds %zu bytes, %zu sent: %s", i, got.content.size(),
                want.content.size(), FuzzSupport::printable(QByteArray::fromStdString(got.content)).constData());
        }
    }

    // The URL-encoded form through cpp-httplib's query parser (its server refuses such bodies
    // above 8 KiB before parsing them; the stand-in service reads them through a content reader).
    const QByteArray encoded = WireFormat::urlEncodedBody(form);
    httplib::Params fields;
    httplib::detail::parse_query_text(bytesOf(encoded), fields);
    std::multimap<std::string, std::string> sent;
    for (const auto &[name, value] : std::as_const(form))
        sent.emplace(bytesOf(name.toUtf8()), bytesOf(value.toUtf8()));
    if (!std::equal(fields.begin(), fields.end(), sent.begin(), sent.end())) {
        for (const auto &[name, value] : sent)
            std::fprintf(stderr, "sent %s = %s\n", FuzzSupport::printable(QByteArray::fromStdString(name)).constData(),
                FuzzSupport::printable(QByteArray::fromStdString(value), 60).constData());
        for (const auto &[name, value] : fields)
            std::fprintf(stderr, "read %s = %s\n", FuzzSupport::printable(QByteArray::fromStdString(name)).constData(),
                FuzzSupport::printable(QByteArray::fromStdString(value), 60).constData());
        FUZZ_CHECK(false, "the form reads back as %zu fields, %zu sent: %s", fields.size(), sent.size(),
            FuzzSupport::printable(encoded).constData());
    }
    return 0;
}
