#include "cli/ExitCode.h"

#include "api/CloudClientRequest.h"

using namespace Qt::StringLiterals;

int ExitCode::forErrorRecord(const QVariant &errorRecord)
{
    const QString code = errorRecord.toMap().value(u"code"_s).toString();
    if (code == CloudClientRequest::kNetworkErrorCode || code == CloudClientRequest::kEmptyReplyCode
        || code == CloudClientRequest::kBadFormatCode)
        return Network;
    return Refused;
}
