#include "app/VersionCheck.h"

#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/Logging.h"
#include "ui/Alert.h"
#include "ui/Browser.h"

#include <QWidget>

using namespace Qt::StringLiterals;

VersionCheck::VersionCheck(QWidget *sheetOwner, UpToDate upToDate, QObject *parent)
    : QObject(parent)
    , m_sheetOwner(sheetOwner)
    , m_upToDate(upToDate)
{
}

VersionCheck::~VersionCheck() = default;

void VersionCheck::setSheetOwner(QWidget *sheetOwner)
{
    m_sheetOwner = sheetOwner;
}

QWidget *VersionCheck::sheetWindow() const
{
    return m_sheetOwner ? m_sheetOwner->window() : nullptr;
}

void VersionCheck::check()
{
    const QString version = Config::applicationVersion();
    m_cloudClient = CloudClient::getInstance();
    m_cloudClient->checkNewestVersion(version, this, u"checkUpdateSuccess:"_s, u"checkUpdateError:"_s);
}

void VersionCheck::checkUpdateSuccess(const QVariant &data)
{
    if (DataCheck::isValidDictionary(data)) {
        const QVariant url = data.toMap().value(u"d_down_url"_s);
        if (DataCheck::isValidString(url)) {
            m_newVersionURL = url.toString();
            QPointer<VersionCheck> self(this);
            Alert::sheet(sheetWindow(), kNewVersionText, {u"确定"_s, u"取消"_s}, [self](int returnCode) {
                if (self)
                    self->alertDidEnd(returnCode);
            });
        }
    } else if (m_upToDate == UpToDate::Announce) {
        Alert::sheet(sheetWindow(), kUpToDateText);
    }
    emit finished();
}

void VersionCheck::checkUpdateError(const QVariant &errorRecord)
{
    const QVariant message = errorRecord.toMap().value(u"message"_s);
    qCInfo(lcApp) << "Version check failed:" << errorRecord;
    QPointer<VersionCheck> self(this);
    Alert::modal(DataCheck::isValidString(message) ? message.toString() : kFallbackErrorText);
    if (self)
        emit finished();
}

void VersionCheck::alertDidEnd(int returnCode)
{
    if (returnCode == 0 && !m_newVersionURL.isEmpty())
        Browser::open(m_newVersionURL);
}
