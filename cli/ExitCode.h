#pragma once

#include <QVariant>

// Exit codes of the quillo command. Scripts rely on them: never change a number.
namespace ExitCode {
inline constexpr int Success = 0;
// Anything else that went wrong: an export that wrote no package, a tool that is missing, a file
// that cannot be written.
inline constexpr int Failure = 1;
// The command line is wrong, or an entered value fails its check (e-mail, password length).
inline constexpr int Usage = 2;
inline constexpr int NotLoggedIn = 3;
// The package is missing, unreadable, of another kind, or not a package that can be read.
inline constexpr int BadPackage = 4;
// The service answered and refused; its message is printed.
inline constexpr int Refused = 5;
// The service could not be reached, or what came back was not its reply.
inline constexpr int Network = 6;
// Stopped by SIGINT or SIGTERM.
inline constexpr int Interrupted = 130;

// Refused or Network for an error record of the API client: "100" (transport failure), "1"
// (empty reply) and "2" (not JSON) mean the service was not really heard; any other code is the
// service's own refusal.
int forErrorRecord(const QVariant &errorRecord);
} // namespace ExitCode
