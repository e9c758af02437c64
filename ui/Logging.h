#pragma once

#include <QLoggingCategory>

// Diagnostics of the platform bindings (tray, desktop notifications, single instance).
Q_DECLARE_LOGGING_CATEGORY(lcUi)
