#pragma once

#include <QLoggingCategory>

// Diagnostics of the upload flow and its screens; never shown to the user.
Q_DECLARE_LOGGING_CATEGORY(lcUpload)
