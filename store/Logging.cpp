#include "store/Logging.h"

Q_LOGGING_CATEGORY(lcStore, "quillo.store")
