#include "app/Logging.h"

Q_LOGGING_CATEGORY(lcApp, "quillo.app")
Q_LOGGING_CATEGORY(lcSettings, "quillo.settings")
