#pragma once

#include <QLoggingCategory>

// Diagnostics of package inspection and export; never shown to the user.
Q_DECLARE_LOGGING_CATEGORY(lcInspect)
