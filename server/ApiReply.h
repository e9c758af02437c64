#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

// One answer of the API: the envelope {"code", "message", "data"} and the HTTP status it goes
// out with. Refusals carry a code of 1 or more and a Chinese message the user can act on;
// the status is 200 unless the request itself was malformed (4xx), which the client ignores
// for API calls and reports as a failed upload for the package upload.
struct ApiReply
{
    enum Code : int {
        Ok = 0,
        BadApiKey = 1001,
        NotLoggedIn = 1002,
        MissingField = 1003,
        InvalidField = 1004,
        WrongCredentials = 1010,
        EmailTaken = 1011,
        TooManyAttempts = 1013,
        ShortcutTaken = 1020,
        ShortcutInvalid = 1021,
        UploadIncomplete = 1030,
        PackageUnreadable = 1031,
        PackageTooLarge = 1032,
        WireFormat = 1040,
        ForeignHost = 1041,
        Unsupported = 1050,
        UnknownPath = 1404,
        Internal = 1500,
    };

    int code = Ok;
    QString message;
    QJsonValue data = QJsonValue::Null;
    int httpStatus = 200;

    static ApiReply success(const QJsonValue &data);
    static ApiReply refusal(int code, const QString &message, int httpStatus = 200);
    // A departure from the client's wire format (strict mode, or a body that cannot be read).
    static ApiReply wireFormat(const QString &difference, int httpStatus = 400);

    bool ok() const { return code <= 0; }
    QByteArray toJson() const;
};
