#pragma once

#include "server/ApiReply.h"
#include "server/FormFields.h"
#include "server/WireRules.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <memory>
#include <optional>

class ApiService;

// One package upload as its multipart parts arrive: the text fields are collected (each up to
// a limit), the file part is written to the service's temporary folder as it comes, and
// nothing of it stays on disk unless it became a release. A refusal decided on the way stops
// the writing; the rest of the body is then read and dropped (up to a budget) so that the
// client receives the answer.
class UploadSession final
{
public:
    struct Limits
    {
        qsizetype maxFieldBytes = 64 * 1024;
        qint64 maxPackageBytes = 0;
        qint64 drainBudget = 64 * 1024 * 1024; // bytes dropped after a refusal before giving up
    };

    UploadSession(ApiService &api, const QString &tempDir, Limits limits, bool strict);
    ~UploadSession();
    UploadSession(const UploadSession &) = delete;
    UploadSession &operator=(const UploadSession &) = delete;

    // Feed from the multipart reader; false stops the reading.
    bool onPart(const QString &name, const QString &fileName, const QString &contentType);
    bool onData(const char *data, size_t length);
    // bodyComplete: the reader saw the whole body and the closing boundary.
    ApiReply finish(bool bodyComplete);

    // True once the file part has started to be written (for tests of the clean-up).
    bool wroteFile() const { return m_file != nullptr; }

private:
    void refuse(ApiReply reply);
    void dropFile();

    ApiService &m_api;
    QString m_tempDir;
    Limits m_limits;
    WireRules::UploadParts m_parts;
    FormFields m_fields;
    std::optional<ApiReply> m_refusal;
    bool m_aborted = false;

    enum class Sink { None, Field, File, Drop } m_sink = Sink::None;
    QString m_fieldName;
    QByteArray m_fieldValue;
    qint64 m_dropped = 0;

    std::unique_ptr<QFile> m_file;
    QString m_fileName;
    qint64 m_fileSize = 0;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
};
