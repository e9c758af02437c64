#!/usr/bin/env bash
# Checks that the tests cannot pass without running: no test skips except through QUILLO_SKIP
# (tests/support/Skips.h lists the allowed kinds), so that a missing tool fails instead of
# skipping. Prints each offending line and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
while IFS= read -r hit; do
    echo "check-tests: raw QSKIP (use QUILLO_SKIP with an allowed kind, or fail): $hit"
    status=1
done < <(git grep -n -E '\bQSKIP\(' -- 'tests/*.cpp' 'tests/*.h' ':!tests/support/Skips.h' || true)

# Every mutant names the tests that must catch it.
for patch in tests/mutants/*.patch; do
    [ -e "$patch" ] || continue
    if ! grep -q '^Tests: tst_' "$patch"; then
        echo "check-tests: $patch names no tests (a \"Tests:\" line)"
        status=1
    fi
done
exit $status
