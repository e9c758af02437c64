#pragma once

#include <QString>

// QUILLO_USER_KEY: the session key of an account, for a CI job that must not log in or leave
// state on the runner. While a command runs with it, the command acts as that user, the
// preferences store stays in memory (the settings file is neither read nor written), and every
// log line has the key masked. The key is a credential: it is never printed.
class EnvironmentSession final
{
public:
    static constexpr const char *kVariable = "QUILLO_USER_KEY";

    // Set (even to nothing) in the environment.
    static bool isRequested();
    // The key as it will be used: the variable without surrounding white space.
    static QString key();
    // What is wrong with the value, for the user (never the value itself); empty when it is a
    // key: 32 ASCII letters or digits, white space around it ignored.
    static QString problemWith(const QString &value);

    // Makes the key the session of this process until end(): memory-only preferences holding
    // the key, which the log mask (app/LogMask) masks in every line from then on.
    static void begin(const QString &key);
    // Back to the settings file; the key stays masked in the log for the rest of the process.
    static void end();
    static bool isActive();
};
