#pragma once

#include <QLoggingCategory>

// Diagnostics of the stand-in service: one line per request, mails sent, uploads stored or refused.
Q_DECLARE_LOGGING_CATEGORY(lcServer)
