#pragma once

#include <QLoggingCategory>

// Diagnostics of the recent-builds screen, the folder watch and the status menu.
Q_DECLARE_LOGGING_CATEGORY(lcBuilds)
