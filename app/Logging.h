#pragma once

#include <QLoggingCategory>

// Diagnostic lines go to the process log through these categories; nothing here is shown to the user.
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
