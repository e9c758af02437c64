#include "ui/VersionCheck.h"

#include "api/CloudClient.h"
#include "api/NewestVersion.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/Logging.h"

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
    m_cloudClient = NewestVersion::ask(this, u"checkUpdateSuccess:"_s, u"checkUpdateError:"_s);
}

void VersionCheck::checkUpdateSuccess(const QVariant &data)
{
    const NewestVersion::Reply reply = NewestVersion::read(data);
    if (reply.kind == NewestVersion::Reply::Kind::Newer) {
        m_newVersionURL = reply.url;
        QPointer<VersionCheck> self(this);
        Alert::sheet(sheetWindow(), kNewVersionText, {u"确定"_s, u"取消"_s}, [self](int returnCode) {
            if (self)
                self->alertDidEnd(returnCode);
        });
    } else if (reply.kind == NewestVersion::Reply::Kind::UpToDate && m_upToDate == UpToDate::Announce) {
        Alert::sheet(sheetWindow(), kUpToDateText);
    }
    emit finished();
}

void VersionCheck::checkUpdateError(const QVariant &errorRecord)
{
    qCInfo(lcUi) << "Version check failed:" << errorRecord;
    QPointer<VersionCheck> self(this);
    Alert::modal(NewestVersion::errorText(errorRecord));
    if (self)
        emit finished();
}

void VersionCheck::alertDidEnd(int returnCode)
{
    if (returnCode == 0 && !m_newVersionURL.isEmpty())
        Browser::open(m_newVersionURL);
}
