#!/usr/bin/env bash
# The main job: set-up, then the local stand-in service with a demo account and the desktop
# program against it; without a display, the same upload through the command line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
bin=${QUILLO_BUILD_DIR:-build}/bin

missing=()
for program in quillo-server quillo quillo-desktop; do
    [ -x "$bin/$program" ] || missing+=("$program")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "run: not built yet: ${missing[*]}"
fi
if [ -n "${DISPLAY:-}" ] && [ -x "$bin/quillo-desktop" ]; then
    exec "$bin/quillo-desktop"
fi
echo "run: the stand-in service and the command-line upload are not built yet"
