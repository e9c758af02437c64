#!/usr/bin/env bash
# Configures (once) and builds the project into ${QUILLO_BUILD_DIR:-build}.
# In CI (CI=true) warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${QUILLO_BUILD_DIR:-build}

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    options=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    if [ "${CI:-}" = "true" ]; then
        options+=(-DQUILLO_WERROR=ON)
    fi
    if command -v ccache >/dev/null 2>&1; then
        options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build_dir" "${options[@]}" ${QUILLO_CMAKE_OPTIONS:-}
fi
# Paths below the tree are hashed relative to the build folder, so that a copy of the tree with
# its build folder at the same place (scripts/mutants.sh) finds this build's objects in the cache.
export CCACHE_BASEDIR=$(pwd) CCACHE_NOHASHDIR=1
cmake --build "$build_dir" --parallel "$(nproc)"
