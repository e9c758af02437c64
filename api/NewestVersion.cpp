#include "api/NewestVersion.h"

#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/DataCheck.h"

using namespace Qt::StringLiterals;

namespace NewestVersion {

Reply read(const QVariant &data)
{
    if (!DataCheck::isValidDictionary(data))
        return {};
    const QVariant url = data.toMap().value(u"d_down_url"_s);
    if (!DataCheck::isValidString(url))
        return { Reply::Kind::NoAddress, QString() };
    return { Reply::Kind::Newer, url.toString() };
}

QString errorText(const QVariant &errorRecord)
{
    const QVariant message = errorRecord.toMap().value(u"message"_s);
    return DataCheck::isValidString(message) ? message.toString() : kFallbackErrorText;
}

std::unique_ptr<CloudClient> ask(QObject *target, const QString &selector, const QString &errorSelector)
{
    std::unique_ptr<CloudClient> client = CloudClient::getInstance();
    client->checkNewestVersion(Config::applicationVersion(), target, selector, errorSelector);
    return client;
}

} // namespace NewestVersion
