#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class ArgParser;
class Console;

// login, logout, whoami, register and forgot-password: the desktop program's account operations
// with its checks and messages, on the same session store (QSLoginModel), so that a login in one
// is a login in the other.
//
// A password comes, in this order, from standard input (--password-stdin: all of it, one final
// line end dropped), from --password (with a warning: it shows in the process list), from
// QUILLO_PASSWORD, or from a prompt: without echo on a terminal, otherwise one line of standard
// input. It is never printed or logged.
class AccountCommands final
{
public:
    static int login(Console &console, const QStringList &arguments);
    static int logout(Console &console, const QStringList &arguments);
    static int whoami(Console &console, const QStringList &arguments);
    static int registerAccount(Console &console, const QStringList &arguments);
    static int forgotPassword(Console &console, const QStringList &arguments);

    static QString loginHelp();
    static QString logoutHelp();
    static QString whoamiHelp();
    static QString registerHelp();
    static QString forgotPasswordHelp();

    // The registration and recovery screens' e-mail check: the whole text matches
    // "[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,6}".
    static bool validateEmail(const QString &text);
    // More than 5 UTF-16 code units, as the registration screen counts.
    static bool isLongEnough(const QString &password);

    // The password by the order above; nothing when the options conflict (*status is then set).
    // With confirm, a password typed at the terminal is asked twice and the second is returned
    // in *confirmation.
    // login --print-key: the key of the login reply on standard output, nothing stored.
    static int printSessionKey(Console &console, const QVariant &loginData);

    static std::optional<QString> readPassword(Console &console, const ArgParser &parser, const QString &command,
        bool confirm, std::optional<QString> *confirmation, int *status);
};
