#include "builds/Logging.h"

Q_LOGGING_CATEGORY(lcBuilds, "quillo.builds")
