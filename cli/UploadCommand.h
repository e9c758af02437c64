#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <optional>

class Console;

// quillo upload PACKAGE: the desktop program's upload flow (UploadFlow) without its form.
//
// The package is inspected, the service prepares the upload, the settings are what the form would
// show for that reply with the user's options over them, the suffix is checked when the service
// lets it change, and the package is sent with progress on standard error. Standard output gets
// the download page's address (or, with --json, one object describing the release).
class UploadCommand final
{
public:
    static int run(Console &console, const QStringList &arguments);
    static QString help();

    // --retries: tries after the first of the prepare call, the suffix check and the upload each.
    static constexpr int kDefaultRetries = 2;
    static constexpr int kMaxRetries = 100;
    static constexpr int kMaxRetryWaitSeconds = 3600;
    // The wait before the first retry (RetryPolicy::kFirstWait); tests lengthen it.
    static void setFirstRetryWait(std::chrono::milliseconds wait);

    // The user's choices, each set only when given on the command line.
    struct Choices
    {
        std::optional<QString> name;
        std::optional<QString> shortcut;
        std::optional<QString> password;
        std::optional<QString> publishRange; // "2" or "3"
        std::optional<QString> isPublishToPublic; // "1" or "2"
        std::optional<QString> description;
    };
    // The form's settings for the record (UploadFlow::defaultSettings) with the choices over them.
    // The suffix is taken only when the record lets it change, or when the service could not be
    // asked (no urlCanbeModified); publishRange only for an iOS package (appType 1).
    static QVariantMap settingsFor(const QVariantMap &record, int appType, const Choices &choices);
    // "all"/"2" → "2", "invited"/"3" → "3"; nothing for anything else.
    static std::optional<QString> publishRangeValue(const QString &text);
};
