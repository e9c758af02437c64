#!/usr/bin/env bash
# The whole test suite: set-up (packages, configure, build), then every test under CTest.
# Widget tests run on Qt's offscreen platform, notification tests on a private D-Bus session bus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
build_dir=${QUILLO_BUILD_DIR:-build}
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" "$@"
