#pragma once

#include <QPixmap>

// The small marks of the account screens, all 16×16.
namespace AccountMarks {
// The platform's standard caution icon.
QPixmap caution();
// The application's "Check" image: success.
QPixmap check();
// Beside a registration field that failed its check.
QPixmap invalid();
} // namespace AccountMarks
