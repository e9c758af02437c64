#include "server/ApiReply.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

ApiReply ApiReply::success(const QJsonValue &data)
{
    ApiReply reply;
    reply.message = u"成功"_s;
    reply.data = data;
    return reply;
}

ApiReply ApiReply::refusal(int code, const QString &message, int httpStatus)
{
    ApiReply reply;
    reply.code = code;
    reply.message = message;
    reply.httpStatus = httpStatus;
    return reply;
}

ApiReply ApiReply::wireFormat(const QString &difference, int httpStatus)
{
    return refusal(WireFormat, u"请求格式与客户端约定不符：%1"_s.arg(difference), httpStatus);
}

QByteArray ApiReply::toJson() const
{
    QJsonObject envelope;
    envelope.insert(u"code"_s, code);
    envelope.insert(u"message"_s, message);
    envelope.insert(u"data"_s, data);
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}
