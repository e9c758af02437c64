#!/usr/bin/env bash
# The whole test suite under AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer:
# configures ${QUILLO_ASAN_BUILD_DIR:-build-asan} with -DQUILLO_SANITIZE=ON (warnings as errors),
# builds it, and runs every test under CTest. Extra arguments go to ctest (e.g. -R faults).
# Any sanitizer report ends the process that made it with a failure, so a report fails its test.
# Prints the time taken by the build and by the suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${QUILLO_ASAN_BUILD_DIR:-build-asan}
jobs=${QUILLO_JOBS:-$(nproc)}

if [ "${QUILLO_SKIP_BOOTSTRAP:-}" != 1 ]; then
    bash scripts/bootstrap.sh
fi

start=$(date +%s)
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    options=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_SANITIZE=ON -DQUILLO_WERROR=ON -DQUILLO_BENCH=OFF)
    if command -v ccache >/dev/null 2>&1; then
        options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build_dir" "${options[@]}" ${QUILLO_CMAKE_OPTIONS:-}
fi
cmake --build "$build_dir" --parallel "$jobs"
built=$(date +%s)

# Leaks are reported at exit of every instrumented process (tests, quillo, quillo-server); the
# suppressions cover allocations that libraries outside the project keep for the process's life.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
status=0
ctest --test-dir "$build_dir" --output-on-failure --parallel "$jobs" "$@" || status=$?
done_at=$(date +%s)
echo "sanitize: build $((built - start)) s, tests $((done_at - built)) s, exit $status"
exit $status
