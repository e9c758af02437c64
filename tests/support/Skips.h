#pragma once

#include <QByteArray>
#include <QTest>

// The only skips the suite allows. A test that cannot run its case for any other reason (a tool
// of the bootstrap missing, a service not starting) fails. Raw QSKIP is not used in tests/
// (scripts/check-tests.sh checks it); QUILLO_SKIP names one of these kinds:
//
//   DefaultToolPathTaken  anywhere   a real /usr/bin/xcodebuild is installed, so "the default tool
//                                    is absent" cannot be tried (never on Debian)
//   MountsTurnedOff       anywhere   QUILLO_TEST_NO_MOUNTS=1 asked for the size-cap fallback, which
//                                    cannot make a read-only or a full file system
//   NoMountNamespace      not in CI  the kernel or container forbids user namespaces; same cases
//   PermissionsIgnored    not in CI  this process passes permission bits (root that cannot give up
//                                    its override), so an unreadable folder cannot be made
//   SanitizerMemory       anywhere   under AddressSanitizer the memory bounds of the load test are
//                                    not checked (freed memory stays in quarantine); its uploads are
//
// In CI (CI=true, or QUILLO_FAIL_ON_SKIP=1) a kind marked "not in CI" fails instead of skipping.
namespace Skips {

enum class Kind { DefaultToolPathTaken, MountsTurnedOff, NoMountNamespace, PermissionsIgnored, SanitizerMemory };

inline bool strict()
{
    return qgetenv("CI") == "true" || qgetenv("QUILLO_FAIL_ON_SKIP") == "1";
}

inline bool allowedHere(Kind kind)
{
    return (kind != Kind::NoMountNamespace && kind != Kind::PermissionsIgnored) || !strict();
}

} // namespace Skips

#define QUILLO_SKIP(kind, reason)                                                                                      \
    do {                                                                                                               \
        if (!Skips::allowedHere(Skips::Kind::kind))                                                                    \
            QFAIL("this case may not be skipped in CI: " reason);                                                      \
        QSKIP(reason);                                                                                                 \
    } while (false)
