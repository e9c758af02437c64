#pragma once

#include <QString>

// Which addresses the program hands to the desktop's browser (QDesktopServices in the desktop
// program, xdg-open in `quillo`): https addresses, and http addresses on the service's own host
// (Config::serviceHost(), any port). Anything else — file:, a custom scheme, plain http to another
// host — may have come from a reply and is refused: the caller shows refusalText() and opens
// nothing. Each refusal is logged (the address without its query, user name or password).
namespace OpenableUrl {

bool isAllowed(const QString &url);

// Empty when url may be opened; otherwise the message for the user, after logging the refusal.
QString refusal(const QString &url);

} // namespace OpenableUrl
