#include "server/Logging.h"

Q_LOGGING_CATEGORY(lcServer, "quillo.server", QtInfoMsg)
