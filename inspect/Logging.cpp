#include "inspect/Logging.h"

Q_LOGGING_CATEGORY(lcInspect, "quillo.inspect")
