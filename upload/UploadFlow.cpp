#include "upload/UploadFlow.h"

#include "api/CloudClient.h"
#include "api/CloudClientRequest.h"
#include "api/UploadRequest.h"
#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/LogMask.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "inspect/ExportRunner.h"
#include "inspect/PackageInspector.h"
#include "inspect/QDArchiveModel.h"
#include "upload/Logging.h"

#include <QFileInfo>
#include <QMetaEnum>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

namespace {
constexpr qint64 kStatusIntervalMs = 250;
} // namespace

UploadFlow::UploadFlow(const QString &beginView, QObject *parent)
    : QObject(parent)
    , m_beginView(beginView)
    , m_state(beginView == u"1"_s ? State::Exporting : State::WaitingForDrop)
    , m_inspector(std::make_unique<PackageInspector>(this))
{
    qRegisterMetaType<UploadFlow::Result>();
    qRegisterMetaType<UploadFlow::State>();
    qRegisterMetaType<UploadFlow::RetryNotice>();
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (const std::function<void()> again = std::exchange(m_retryAction, {}); again && !isDiscarded())
            again();
    });
}

UploadFlow::~UploadFlow()
{
    // Members go in reverse order; make sure no request reports into a half-destroyed flow.
    m_upload.reset();
    m_cloudClient.reset();
    m_export.reset();
}

QString UploadFlow::stateName(State state)
{
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(static_cast<int>(state)));
}

void UploadFlow::setState(State state)
{
    if (m_state == state || m_state == State::Discarded)
        return;
    qCDebug(lcUpload).noquote() << "state" << stateName(m_state) << "->" << stateName(state);
    m_state = state;
    emit stateChanged(state);
}

UploadFlow::State UploadFlow::bottomState() const
{
    return m_beginView == u"1"_s ? State::Exporting : State::WaitingForDrop;
}

bool UploadFlow::acceptsPackage() const
{
    switch (m_state) {
    case State::WaitingForDrop:
    case State::Exporting:
    case State::Inspecting:
    case State::Preparing:
        return true;
    default:
        return false;
    }
}

bool UploadFlow::ParseIPA(const QString &path)
{
    if (!acceptsPackage()) {
        qCDebug(lcUpload) << "package ignored in state" << stateName(m_state) << path;
        return false;
    }
    m_retryTimer.stop(); // a prepare call waiting for another try belongs to the earlier package
    setState(State::Inspecting);
    m_inspector->ParseIPA(path); // ends in prepareUpload("ios")
    return true;
}

bool UploadFlow::ParseAPK(const QString &path)
{
    if (!acceptsPackage()) {
        qCDebug(lcUpload) << "package ignored in state" << stateName(m_state) << path;
        return false;
    }
    // A prepare call for an earlier package must not show its form while this one is read.
    m_cloudClient.reset();
    m_retryTimer.stop();
    setState(State::Inspecting);
    m_inspector->ParseAPK(path); // prepareUpload("android") or inspectionFailed later
    return true;
}

bool UploadFlow::ParsePackage(const QString &path)
{
    if (path.endsWith(u".ipa"_s))
        return ParseIPA(path);
    if (path.endsWith(u".apk"_s))
        return ParseAPK(path);
    return false;
}

void UploadFlow::prepareUpload(const QString &platform)
{
    if (m_state == State::Discarded)
        return;
    m_retryTimer.stop();
    m_retriesUsed = 0;
    startPrepare(platform);
}

void UploadFlow::startPrepare(const QString &platform)
{
    setState(State::Preparing);
    m_cloudClient = CloudClient::getInstance(); // releases (and cancels) the previous call
    m_cloudClient->prepareUploadWithPackageName(m_appInfo.value(AppInfoKey::packageName), platform,
        QSLoginModel::currentUid(), this, u"prepareUploadSuccess:"_s, u"prepareUploadError:"_s);
}

void UploadFlow::inspectionFailed(InspectionFailure failure, const QString &detail)
{
    if (m_state == State::Discarded)
        return;
    qCInfo(lcUpload).noquote() << "inspection ended without a record:" << detail;
    setState(bottomState());
    emit inspectionEnded(failure, detail);
}

void UploadFlow::prepareUploadSuccess(const QVariant &data)
{
    applyPrepareReply(m_appInfo, data);
    showApplicationInfoStep();
}

void UploadFlow::prepareUploadError(const QVariant &errorRecord)
{
    qCInfo(lcUpload) << "prepare failed:" << errorRecord;
    const QString platform = m_appType == 1 ? u"ios"_s : u"android"_s;
    if (m_state == State::Preparing && retryCall(Step::Prepare, [this, platform] { startPrepare(platform); }))
        return;
    showApplicationInfoStep();
}

void UploadFlow::showApplicationInfoStep()
{
    if (m_state == State::Discarded || !DataCheck::isValidDictionary(m_appInfo))
        return;
    setState(State::Form);
    emit showApplicationInfo();
}

QVariantMap UploadFlow::currentSettings() const
{
    return m_settingsSource ? m_settingsSource() : defaultSettings(m_appInfo);
}

void UploadFlow::uploadButtonClicked()
{
    if (m_state != State::Form) {
        qCDebug(lcUpload) << "upload button ignored in state" << stateName(m_state);
        return;
    }
    const QVariantMap settings = currentSettings();
    if (DataCheck::intValue(m_appInfo.value(AppInfoKey::urlCanbeModified)) == 1)
        validShortcutUrl(settings.value(SettingKey::shortcut));
    else
        upload();
}

void UploadFlow::backButtonClicked()
{
    if (m_state != State::Form || m_beginView == u"1"_s)
        return;
    setState(State::WaitingForDrop);
}

void UploadFlow::validShortcutUrl(const QVariant &suffix)
{
    if (m_state == State::Discarded)
        return;
    m_retriesUsed = 0;
    startShortcutCheck(suffix);
}

void UploadFlow::startShortcutCheck(const QVariant &suffix)
{
    setState(State::Checking);
    m_cloudClient = CloudClient::getInstance();
    m_cloudClient->getApplicationKeyByShortcut(suffix, this, u"getAppKeySuccess:"_s, u"getAppKeyError:"_s);
}

void UploadFlow::getAppKeySuccess(const QVariant &data)
{
    if (m_state != State::Checking)
        return;
    if (DataCheck::isValidString(data.toMap().value(u"appKey"_s))) {
        const QString message = u"网址后缀已存在，请更换"_s;
        emit shortcutTaken(message);
        setState(State::Form);
        return;
    }
    upload();
}

void UploadFlow::getAppKeyError(const QVariant &errorRecord)
{
    if (m_state != State::Checking)
        return;
    const QVariant suffix = currentSettings().value(SettingKey::shortcut);
    if (retryCall(Step::ShortcutCheck, [this, suffix] { startShortcutCheck(suffix); }))
        return;
    qCInfo(lcUpload) << "suffix check failed, uploading all the same:" << errorRecord;
    upload();
}

void UploadFlow::upload()
{
    if (m_state == State::Discarded || m_state == State::Sending)
        return;
    setState(State::Sending);
    m_retriesUsed = 0;
    startUpload();
}

void UploadFlow::startUpload()
{
    const QVariantMap settings = currentSettings();
    const QVariantMap fields = uploadFields(settings, QSLoginModel::currentUid());
    m_filesize = quint64(std::max<qint64>(0, QFileInfo(m_filePath).size()));
    const QString fileName = fileNameOf(m_filePath);

    m_upload = std::make_unique<UploadRequest>(
        uploadUrl(), fields, m_filePath, u"file"_s, fileName, contentTypeForFileName(fileName));
    connect(m_upload.get(), &UploadRequest::progress, this, &UploadFlow::uploadProgress);
    connect(m_upload.get(), &UploadRequest::finished, this, &UploadFlow::uploadCompleted);
    m_clock.start();
    m_lastStatusMs = -1;
    m_rate.start(m_upload->contentLength(), 0);
    emit uploadStarted(m_filesize);
    emit progressChanged(0.0);
    qCInfo(lcUpload).noquote() << "uploading" << m_filePath << m_filesize << "bytes to" << uploadUrl().toString();
    m_upload->start();
}

void UploadFlow::uploadProgress(qint64 sent, qint64 total)
{
    if (m_state != State::Sending)
        return;
    emit progressChanged(progressValue(sent, m_filesize));
    const qint64 now = m_clock.elapsed();
    m_rate.addSample(sent, total, now);
    if (m_lastStatusMs < 0 || now - m_lastStatusMs >= kStatusIntervalMs) {
        m_lastStatusMs = now;
        emit transferStatus(
            m_rate.bytesPerSecond().value_or(0.0), m_rate.secondsRemaining().value_or(-1), m_rate.text());
    }
}

void UploadFlow::uploadCompleted(int status, const QVariant &json, const QString &error)
{
    // The request is the sender: let it go once its signal has returned.
    TransferFailure failure = TransferFailure::None;
    if (UploadRequest *done = m_upload.release()) {
        failure = done->failure();
        done->deleteLater();
    }
    if (m_state != State::Sending)
        return;
    const bool envelope = json.typeId() == QMetaType::QVariantMap && json.toMap().contains(u"code"_s);
    if (!error.isEmpty() && retryLater(Step::Upload, failure, status, envelope, [this] { startUpload(); }))
        return;

    Result result = interpretCompletion(status, json, error);
    result.failure = failure;
    if (!error.isEmpty()) {
        qCWarning(lcUpload).noquote() << u"Error: %1"_s.arg(error);
        qCWarning(lcUpload) << LogMask::masked(json);
    } else {
        emit progressChanged(1.0);
        qCInfo(lcUpload) << status << LogMask::masked(json);
    }
    result.autoClose = autoCloseUploadWindow();
    setState(State::Result);
    emit uploadFinished(result);
}

void UploadFlow::resultAcknowledged()
{
    if (m_state == State::Result)
        setState(State::Form);
}

void UploadFlow::exportArchive(const QDArchiveModel &archive)
{
    exportArchive(archive.archivePath(), archive.provisionFileName().value_or(QString()));
}

void UploadFlow::exportArchive(const QString &archivePath, const QString &provisionFileName)
{
    if (m_state == State::Discarded)
        return;
    setState(State::Exporting);
    m_export = std::make_unique<ExportRunner>();
    connect(m_export.get(), &ExportRunner::finished, this, &UploadFlow::exportCompleted);
    m_export->start(archivePath, provisionFileName);
}

void UploadFlow::exportCompleted(bool exported, const QString &packagePath)
{
    if (m_state != State::Exporting)
        return;
    emit exportEnded(exported);
    if (exported) {
        m_filePath = packagePath;
        ParseIPA(packagePath);
        return;
    }
    setState(State::ExportFailed);
    emit exportFailed();
}

void UploadFlow::deletePayloadDirectory()
{
    m_inspector->removeUnpacked();
}

void UploadFlow::discard()
{
    if (m_state == State::Discarded)
        return;
    qCDebug(lcUpload).noquote() << "discarded in state" << stateName(m_state);
    m_state = State::Discarded;
    m_retryTimer.stop();
    m_retryAction = {};
    m_upload.reset(); // cancels the upload; it reports nothing more
    m_cloudClient.reset(); // cancels the prepare call or the suffix check
    m_export.reset(); // stops the build tool without a report
    m_inspector->removeUnpacked();
    // A pending aapt run reports to a fresh inspector's predecessor, which is gone.
    m_inspector = std::make_unique<PackageInspector>(this);
}

bool UploadFlow::retryCall(Step step, std::function<void()> again)
{
    const CloudClientRequest *envelope = m_cloudClient ? m_cloudClient->client() : nullptr;
    if (!envelope)
        return false;
    const CloudClientRequest::CallFailure failure = envelope->lastFailure();
    return retryLater(step, failure.transport, failure.httpStatus, failure.refusal, std::move(again));
}

bool UploadFlow::retryLater(
    Step step, TransferFailure transport, int httpStatus, bool envelope, std::function<void()> again)
{
    const std::optional<QString> reason = RetryPolicy::retryReason(transport, httpStatus, envelope);
    if (!reason || m_retriesUsed >= m_retryPolicy.retries || isDiscarded())
        return false;
    ++m_retriesUsed;
    RetryNotice notice;
    notice.step = step;
    notice.retry = m_retriesUsed;
    notice.retries = m_retryPolicy.retries;
    notice.reason = *reason;
    notice.wait = m_retryPolicy.waitBefore(m_retriesUsed, QRandomGenerator::global()->generateDouble());
    qCInfo(lcUpload).noquote() << "retry" << notice.retry << "of" << notice.retries << "in" << notice.wait.count()
                               << "ms:" << notice.reason;
    m_retryAction = std::move(again);
    m_retryTimer.start(notice.wait);
    emit retryScheduled(notice);
    return true;
}

// ---- Rules ----

void UploadFlow::applyPrepareReply(QVariantMap &record, const QVariant &data)
{
    const QVariantMap reply = data.toMap();
    const QVariant shortcut = reply.value(u"shortcutUrl"_s);
    if (shortcut.isValid())
        record.insert(AppInfoKey::shortcutUrl, shortcut);
    const QVariant parentApp = reply.value(u"parentApp"_s);
    if (DataCheck::isValidDictionary(parentApp)) {
        const QVariantMap parent = parentApp.toMap();
        const std::pair<QString, QString> copies[] = {
            { u"a_is_publish_to_public"_s, AppInfoKey::isPublishToPublic },
            { u"a_password"_s, AppInfoKey::password },
            { u"a_publish_range"_s, AppInfoKey::publishRange },
        };
        for (const auto &[from, to] : copies) {
            const QVariant value = parent.value(from);
            if (value.isValid())
                record.insert(to, value);
        }
        record.insert(AppInfoKey::urlCanbeModified, u"0"_s);
    } else {
        record.insert(AppInfoKey::urlCanbeModified, u"1"_s);
    }
}

QVariantMap UploadFlow::uploadFields(const QVariantMap &settings, const QVariant &uid)
{
    auto text = [](const QVariant &value) { return value.isValid() ? value.toString() : QString(); };
    QVariantMap fields;
    fields.insert(u"_api_key"_s, CloudClientRequest::kApiKey);
    fields.insert(u"uKey"_s, text(uid));
    fields.insert(u"publishRange"_s, text(settings.value(SettingKey::publishRange)));
    fields.insert(u"isPublishToPublic"_s, text(settings.value(SettingKey::isPublishToPublic)));
    fields.insert(u"name"_s, text(settings.value(SettingKey::name)));
    fields.insert(u"shortcut"_s, text(settings.value(SettingKey::shortcut)));
    fields.insert(u"password"_s, text(settings.value(SettingKey::password)));
    fields.insert(u"updateDescription"_s, text(settings.value(SettingKey::description)));
    return fields;
}

QString UploadFlow::contentTypeForFileName(const QString &fileName)
{
    return fileName.endsWith(u"ipa"_s) ? u"application/iphone-package-archive"_s
                                       : u"application/vnd.android.package-archive"_s;
}

QString UploadFlow::fileNameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

QUrl UploadFlow::uploadUrl()
{
    return QUrl(Config::apiBase() + u"/app/upload"_s);
}

double UploadFlow::progressValue(qint64 sent, quint64 filesize)
{
    if (filesize == 0)
        return 0.0;
    return double(sent) / double(filesize) * 0.98;
}

UploadFlow::Result UploadFlow::interpretCompletion(int status, const QVariant &json, const QString &error)
{
    Result result;
    result.httpStatus = status;
    result.reply = json;
    result.transportError = error;
    const QVariantMap reply = json.toMap();
    result.serviceCode = reply.value(u"code"_s);
    const QVariant message = reply.value(u"message"_s);
    const bool hasMessage = message.isValid() && !message.isNull() && !message.toString().isEmpty();

    if (!error.isEmpty()) {
        result.kind = Result::Kind::TransportError;
        QString reason;
        if (hasMessage)
            reason = message.toString();
        else if (status == 0)
            reason = u"无法连接到服务器，请检查网络后重试"_s;
        else
            reason = u"服务器出错（HTTP %1），请稍后重试"_s.arg(status);
        result.message = u"发布失败：%1"_s.arg(reason);
        return result;
    }
    // A reply that is not the service's envelope is no proof that the package was stored.
    if (json.typeId() != QMetaType::QVariantMap || !reply.contains(u"code"_s)) {
        result.kind = Result::Kind::TransportError;
        result.message = u"发布失败：%1"_s.arg(u"服务器的回复无法识别"_s);
        return result;
    }
    if (DataCheck::intValue(result.serviceCode) != 0) {
        result.kind = Result::Kind::Refused;
        result.message = hasMessage ? message.toString() : u"服务器拒绝了这次上传，但没有说明原因"_s;
        return result;
    }
    result.kind = Result::Kind::Success;
    const QVariant shortcut = reply.value(u"data"_s).toMap().value(u"appShortcutUrl"_s);
    result.appShortcutUrl = shortcut.isValid() && !shortcut.isNull() ? shortcut.toString() : QString();
    result.downloadUrl = downloadPageUrl(result.appShortcutUrl);
    return result;
}

bool UploadFlow::autoCloseUploadWindow()
{
    return Preferences::intValue(u"autoCloseUploadWindow"_s) == 1;
}

QString UploadFlow::downloadPageUrl(const QString &shortcut)
{
    return Config::serviceUrl(shortcut);
}

QStringList UploadFlow::publishToSquareTitles()
{
    return { u"不发布到应用广场"_s, u"发布到应用广场"_s };
}

QStringList UploadFlow::publishRangeTitles()
{
    return { u"所有人可下载"_s, u"仅受邀测试者可下载"_s };
}

namespace {
int itemFor(const QVariant &value, int offset, int itemCount)
{
    if (!DataCheck::isValidString(value))
        return 0;
    const int index = DataCheck::intValue(value) - offset;
    return index >= 0 && index < itemCount ? index : 0;
}
} // namespace

int UploadFlow::publishToSquareIndex(const QVariantMap &record)
{
    return itemFor(record.value(AppInfoKey::isPublishToPublic), 1, int(publishToSquareTitles().size()));
}

int UploadFlow::publishRangeIndex(const QVariantMap &record)
{
    return itemFor(record.value(AppInfoKey::publishRange), 2, int(publishRangeTitles().size()));
}

QVariantMap UploadFlow::defaultSettings(const QVariantMap &record)
{
    auto usable = [&record](const QString &key) {
        const QVariant value = record.value(key);
        return DataCheck::isValidString(value) ? value.toString() : QString();
    };
    QVariantMap settings;
    settings.insert(SettingKey::publishRange, QString::number(publishRangeIndex(record) + 2));
    settings.insert(SettingKey::isPublishToPublic, QString::number(publishToSquareIndex(record) + 1));
    settings.insert(SettingKey::name, record.value(AppInfoKey::appName).toString());
    settings.insert(SettingKey::shortcut, usable(AppInfoKey::shortcutUrl));
    settings.insert(SettingKey::password, usable(AppInfoKey::password));
    settings.insert(SettingKey::description, QString());
    return settings;
}
