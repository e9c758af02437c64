#include "server/UploadSession.h"

#include "server/ApiService.h"
#include "server/Logging.h"
#include "server/Passwords.h"

#include <QDir>

using namespace Qt::StringLiterals;

UploadSession::UploadSession(ApiService &api, const QString &tempDir, Limits limits, bool strict)
    : m_api(api)
    , m_tempDir(tempDir)
    , m_limits(limits)
    , m_parts(strict)
{
}

UploadSession::~UploadSession()
{
    dropFile();
}

void UploadSession::dropFile()
{
    if (!m_file)
        return;
    m_file->close();
    if (!m_file->remove())
        qCWarning(lcServer) << "cannot remove the partial upload" << m_file->fileName();
    m_file.reset();
}

void UploadSession::refuse(ApiReply reply)
{
    if (!m_refusal)
        m_refusal = std::move(reply);
    dropFile();
    m_sink = Sink::Drop;
}

bool UploadSession::onPart(const QString &name, const QString &fileName, const QString &contentType)
{
    if (m_sink == Sink::Field)
        m_fields.append(m_fieldName, QString::fromUtf8(m_fieldValue));
    m_fieldValue.clear();
    if (m_file) {
        // The file part has ended: later parts are not expected, the file stays as received.
        m_file->flush();
    }
    const QString departure = m_parts.onPart(name, fileName, contentType);
    if (m_refusal) {
        m_sink = Sink::Drop;
        return true;
    }
    if (!departure.isEmpty()) {
        refuse(ApiReply::wireFormat(departure));
        return true;
    }
    if (!m_parts.inFilePart()) {
        m_sink = Sink::Field;
        m_fieldName = name;
        return true;
    }
    // The file begins: everything needed to accept it has arrived.
    if (ApiReply check = m_api.checkUploadFields(m_fields); !check.ok()) {
        refuse(std::move(check));
        return true;
    }
    QDir().mkpath(m_tempDir);
    m_file = std::make_unique<QFile>(m_tempDir + u"/upload-%1.part"_s.arg(Passwords::randomKey(16)));
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qCWarning(lcServer) << "cannot create" << m_file->fileName() << m_file->errorString();
        m_file.reset();
        refuse(ApiReply::refusal(ApiReply::Internal, u"服务无法保存上传的文件，请稍后重试"_s, 500));
        return true;
    }
    m_fileName = fileName;
    m_sink = Sink::File;
    return true;
}

bool UploadSession::onData(const char *data, size_t length)
{
    switch (m_sink) {
    case Sink::None:
        return true;
    case Sink::Field:
        if (m_fieldValue.size() + qsizetype(length) > m_limits.maxFieldBytes) {
            refuse(ApiReply::refusal(ApiReply::InvalidField,
                                     u"字段“%1”过长（超过 %2 KB），请缩短后重试"_s.arg(m_fieldName.left(40)).arg(m_limits.maxFieldBytes / 1024),
                                     413));
            return onData(data, length);
        }
        m_fieldValue.append(data, qsizetype(length));
        return true;
    case Sink::File:
        m_fileSize += qint64(length);
        if (m_fileSize > m_limits.maxPackageBytes) {
            refuse(ApiReply::refusal(ApiReply::PackageTooLarge,
                                     u"安装包超过 %1 MB 的上限，无法上传"_s.arg(m_limits.maxPackageBytes / 1024 / 1024), 413));
            m_aborted = true;
            return false;
        }
        if (m_file->write(data, qint64(length)) != qint64(length)) {
            qCWarning(lcServer) << "cannot write" << m_file->fileName() << m_file->errorString();
            refuse(ApiReply::refusal(ApiReply::Internal, u"服务磁盘写入失败，请稍后重试"_s, 500));
            m_aborted = true;
            return false;
        }
        m_hash.addData(QByteArrayView(data, qsizetype(length)));
        return true;
    case Sink::Drop:
        m_dropped += qint64(length);
        if (m_dropped > m_limits.drainBudget) {
            m_aborted = true;
            return false;
        }
        return true;
    }
    return true;
}

ApiReply UploadSession::finish(bool bodyComplete)
{
    if (m_sink == Sink::Field)
        m_fields.append(m_fieldName, QString::fromUtf8(m_fieldValue));
    m_sink = Sink::None;
    if (m_refusal) {
        dropFile();
        return *m_refusal;
    }
    if (!bodyComplete) {
        const bool hadFile = m_file != nullptr;
        dropFile();
        qCInfo(lcServer) << "upload cut off" << (hadFile ? "while the package arrived" : "before the package");
        return ApiReply::refusal(ApiReply::UploadIncomplete, u"上传未完成（连接中断、超时或请求格式不完整），请重新上传"_s, 400);
    }
    if (const QString missing = m_parts.finish(); !missing.isEmpty()) {
        dropFile();
        return ApiReply::wireFormat(missing);
    }
    if (!m_file) // the file part was not whole-formed (lenient mode only)
        return ApiReply::wireFormat(u"上传缺少文件部分“file”"_s);
    if (!m_file->flush()) {
        dropFile();
        return ApiReply::refusal(ApiReply::Internal, u"服务磁盘写入失败，请稍后重试"_s, 500);
    }
    m_file->close();
    ReceivedPackage package{m_file->fileName(), m_fileName, m_fileSize, QString::fromLatin1(m_hash.result().toHex())};
    m_file.reset(); // publishUpload moves or removes it
    return m_api.publishUpload(m_fields, package);
}
