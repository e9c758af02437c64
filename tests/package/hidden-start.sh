#!/usr/bin/env bash
# quillo-desktop --hidden, as the autostart entry starts it at login, on a virtual display (Xvfb)
# with a tray (trayer) and a private session bus, seen through the X server (xdotool):
#   - it puts its icon in the tray and maps no main window;
#   - a second start with --hidden leaves it as it is;
#   - a click on the tray icon brings the main window;
#   - where there is no tray the main window shows all the same.
#
#   tests/package/hidden-start.sh BIN_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BIN_DIR" >&2; exit 64; }
program=$(realpath "$1")/quillo-desktop
for tool in Xvfb trayer xdotool dbus-daemon; do
    command -v "$tool" >/dev/null || { echo "hidden-start: $tool is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillo-hidden.XXXXXX")
pids=()
# Ends a process started here (never one it has not started) and forgets it.
stop() {
    local pid=$1 kept=() other
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for other in "${pids[@]}"; do [ "$other" = "$pid" ] || kept+=("$other"); done
    pids=("${kept[@]}")
}
cleanup() {
    set +e
    while [ ${#pids[@]} -gt 0 ]; do stop "${pids[-1]}"; done
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
pass() { echo "ok    $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}
# Waits up to $1 seconds for a command to succeed.
wait_for() {
    local tries=$(($1 * 10))
    shift
    until "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.1
    done
}

# --- A private desktop: display, session bus, tray; a home of its own -----------------------------
# -noreset: the server stays up between the programs started here (by default it resets when its
# last client leaves, and a program starting meanwhile cannot connect).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/display" || { cat "$work/xvfb.log" >&2; echo "hidden-start: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$work/display")
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus" >"$work/dbus.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/bus" || { echo "hidden-start: the session bus did not start" >&2; exit 1; }
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export XDG_DATA_HOME=$work/home/.local/share XDG_RUNTIME_DIR=$work/runtime
export QUILLO_SETTINGS_FILE=$work/home/.config/quillo/preferences.json QUILLO_SERVICE_HOST=127.0.0.1:9
export QT_QPA_PLATFORM=xcb
# In the sanitizer build: leaks are for the offscreen tests to find; the X libraries keep what they
# allocate until the process ends.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
unset QUILLO_STATUS_ITEM
mkdir -p "$HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"

trayer --edge top --align right --widthtype request --height 28 --SetDockType true >"$work/trayer.log" 2>&1 &
tray_pid=$!
pids+=($tray_pid)
wait_for 10 xdotool search --onlyvisible --class trayer || { echo "hidden-start: trayer did not start" >&2; exit 1; }

# Windows that the process maps, by size: the tray icon is a few pixels, the main window hundreds.
mapped() { # mapped PID small|large
    local window width
    for window in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        width=$(xdotool getwindowgeometry --shell "$window" | sed -n 's/^WIDTH=//p')
        if [ "$2" = small ] && [ "$width" -le 64 ]; then echo "$window"; fi
        if [ "$2" = large ] && [ "$width" -ge 300 ]; then echo "$window"; fi
    done
}
has_mapped() { [ -n "$(mapped "$1" "$2")" ]; }

# --- Hidden, with a tray ---------------------------------------------------------------------------
"$program" --hidden >"$work/desktop.log" 2>&1 &
desktop=$!
pids+=($desktop)
if wait_for 20 has_mapped "$desktop" small; then
    pass "--hidden puts the icon in the tray"
else
    fail "--hidden puts the icon in the tray"
    cat "$work/desktop.log"
fi
# A main window shown at start would be mapped before the icon, which waits for the tray's answer.
if has_mapped "$desktop" large; then fail "--hidden maps no main window"; else pass "--hidden maps no main window"; fi

# A second start asks the first to show its window and waits for the answer; --hidden must not ask.
if timeout 20 "$program" --hidden >"$work/second.log" 2>&1; then pass "a second --hidden start ends at once"; else fail "a second --hidden start ends at once"; fi
if has_mapped "$desktop" large; then fail "a second --hidden start leaves the window hidden"; else pass "a second --hidden start leaves the window hidden"; fi

icon=$(mapped "$desktop" small | head -n 1)
if [ -n "$icon" ]; then
    xdotool mousemove --window "$icon" 5 5 click 1
    if wait_for 10 has_mapped "$desktop" large; then pass "a click on the tray icon shows the main window"; else fail "a click on the tray icon shows the main window"; fi
fi
stop "$desktop"

# --- Hidden, without a tray ------------------------------------------------------------------------
stop "$tray_pid"
QUILLO_STATUS_ITEM=menubar "$program" --hidden >"$work/menubar.log" 2>&1 &
desktop=$!
pids+=($desktop)
if wait_for 20 has_mapped "$desktop" large; then
    pass "--hidden without a tray shows the main window"
else
    fail "--hidden without a tray shows the main window"
    cat "$work/menubar.log"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures hidden-start checks failed"
    exit 1
fi
echo "all hidden-start checks passed"
