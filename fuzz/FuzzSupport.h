#pragma once

// Shared by the libFuzzer targets: quiet logging, a check that stops the run with a message,
// a private scratch folder per fuzzing process, and small oracles written without the code
// they check.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Stops the run: libFuzzer records the input as a crash.
#define FUZZ_CHECK(condition, ...)                                                                                     \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  ", __FILE__, __LINE__, #condition);                \
            std::fprintf(stderr, __VA_ARGS__);                                                                         \
            std::fprintf(stderr, "\n");                                                                                \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

namespace FuzzSupport {

// Drops Qt's log output (the code under test logs every malformed input). Call once.
void silenceLogging();

// A folder of its own below $TMPDIR (or /tmp), made on first use and removed at exit.
QString scratchFolder();

// Removes a tree without following links; true when it is gone.
bool removeTree(const QString &path);

// Strict UTF-8 validity (no overlongs, no surrogates, nothing above U+10FFFF, nothing cut off).
bool isValidUtf8(const QByteArray &bytes);

// Text for a failure message.
QByteArray printable(const QByteArray &bytes, qsizetype max = 200);
QByteArray printable(const QString &text, qsizetype max = 200);

} // namespace FuzzSupport
