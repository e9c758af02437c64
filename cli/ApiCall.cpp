#include "cli/ApiCall.h"

#include "api/CloudClient.h"
#include "app/DataCheck.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"

using namespace Qt::StringLiterals;

ApiCall::ApiCall()
    : m_client(CloudClient::getInstance())
{ }

ApiCall::~ApiCall() = default;

bool ApiCall::wait()
{
    if (!m_done) {
        const QMetaObject::Connection stop = connect(&Interruption::instance(), &Interruption::requested, this, [this] {
            m_interrupted = true;
            m_loop.quit();
        });
        if (!Interruption::instance().isRequested())
            m_loop.exec();
        else
            m_interrupted = true;
        disconnect(stop);
    }
    if (!m_done)
        m_client.reset(); // interrupted: cancel the call
    return m_succeeded;
}

QString ApiCall::errorMessage(const QString &fallback) const
{
    const QVariant message = m_error.value(u"message"_s);
    return DataCheck::isValidString(message) ? message.toString() : fallback;
}

int ApiCall::exitCode() const
{
    if (m_interrupted && !m_done)
        return ExitCode::Interrupted;
    return ExitCode::forErrorRecord(m_error);
}

void ApiCall::callSucceeded(const QVariant &data)
{
    m_done = true;
    m_succeeded = true;
    m_data = data;
    m_loop.quit();
}

void ApiCall::callFailed(const QVariant &errorRecord)
{
    m_done = true;
    m_error = errorRecord.toMap();
    m_loop.quit();
}
