#pragma once

#include <QLoggingCategory>

// Diagnostics of the service calls and transports ("quillo.api"); never shown to the user.
Q_DECLARE_LOGGING_CATEGORY(lcApi)
