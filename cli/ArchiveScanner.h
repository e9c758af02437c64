#pragma once

// The scanner moved to inspect/, where the recent-builds screen shares it; include it from there.
#include "inspect/ArchiveScanner.h"
