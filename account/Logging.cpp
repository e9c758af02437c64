#include "account/Logging.h"

Q_LOGGING_CATEGORY(lcAccount, "quillo.account")
