#!/usr/bin/env bash
# Renders the README's screenshots from the real desktop program under a virtual display:
# Xvfb with a tray (trayer) and a notification service (notification-daemon) on a private
# session bus, the stand-in service with its demo account on a free loopback port, archives and
# packages made by tests/fixtures/, and quillo-desktop driven with xdotool (typing, clicking)
# and captured with ImageMagick's import.
#
#   scripts/screenshots.sh BUILD_DIR [OUT_DIR]      (OUT_DIR defaults to docs/screenshots)
#
# It builds nothing: BUILD_DIR must hold bin/quillo-desktop and bin/quillo-server. Everything it
# writes besides the pictures lives in a temporary folder that is removed at the end, with every
# process it started stopped. SCREENSHOTS_KEEP=1 keeps that folder (logs of the service,
# the program and the display) and prints where it is. The user's own settings and archives are not touched.
#
# The upload window is opened on a package through the program's debugging aid
# QUILLO_OPEN_PACKAGE=<path> (see shell/main.cpp), since a drag is not something xdotool does well;
# the "uploading" picture goes through a small relay that slows the upload down.
set -euo pipefail
[ -n "${SCREENSHOTS_TRACE:-}" ] && set -x
cd "$(dirname "$0")/.."
repo=$(pwd)

[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [OUT_DIR]" >&2; exit 64; }
bin=$(realpath "$1")/bin
out=$(realpath -m "${2:-docs/screenshots}")
for program in quillo-desktop quillo-server; do
    [ -x "$bin/$program" ] || { echo "screenshots: $bin/$program is missing; build it first" >&2; exit 1; }
done
for tool in Xvfb xdotool import trayer dbus-daemon perl zip; do
    command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done
notification_daemon=/usr/lib/notification-daemon/notification-daemon
[ -x "$notification_daemon" ] || { echo "screenshots: notification-daemon is missing" >&2; exit 1; }
mkdir -p "$out"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillo-shots.XXXXXX")
pids=()
desktop_pid=
cleanup() {
    set +e
    [ -n "$desktop_pid" ] && kill "$desktop_pid" 2>/dev/null && wait "$desktop_pid" 2>/dev/null
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[$i]}" 2>/dev/null
        wait "${pids[$i]}" 2>/dev/null
    done
    if [ -n "${SCREENSHOTS_KEEP:-}" ]; then echo "screenshots: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say() { printf 'screenshots: %s\n' "$*"; }
fail() { printf 'screenshots: %s\n' "$*" >&2; exit 1; }

# Waits up to $1 seconds for a command to succeed.
wait_for() {
    local seconds=$1
    shift
    local tries=$((seconds * 10))
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.1
    done
}

# --- The virtual desktop -------------------------------------------------------------------
display=
for n in $(seq 91 140); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
        display=:$n
        break
    fi
done
[ -n "$display" ] || fail "no free display number"
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp -noreset +bs >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
wait_for 10 xdotool getdisplaygeometry || fail "Xvfb did not start (see $work/xvfb.log)"

# A session bus of our own: the notifications go to our notification-daemon only.
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus-address" >"$work/dbus.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/bus-address" || fail "the session bus did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus-address")
export DBUS_SESSION_BUS_ADDRESS

trayer --edge top --align right --widthtype request --height 28 --transparent false --tint 0xdddddd \
    --SetDockType true >"$work/trayer.log" 2>&1 &
pids+=($!)
"$notification_daemon" >"$work/notification-daemon.log" 2>&1 &
pids+=($!)
wait_for 10 xdotool search --class trayer || fail "trayer did not start"

# --- The stand-in service --------------------------------------------------------------------
# Any Host is answered: the slow relay below, on a port of its own, passes the program's Host on.
"$bin/quillo-server" --seed-demo --listen 127.0.0.1:0 --allow-host '*' --data "$work/service" >"$work/service.out" 2>"$work/service.log" &
pids+=($!)
wait_for 20 grep -q '^listening on http://' "$work/service.out" || fail "the stand-in service did not start"
address=$(sed -n 's|^listening on http://||p' "$work/service.out")
account=$(sed -n 's|^demo account: ||p' "$work/service.out")
email=${account%% / *}
password=${account#* / }

# A relay to the service that lets 300 kB through per second, for the "uploading" picture.
cat >"$work/relay.pl" <<'PERL'
use strict;
use warnings;
use IO::Socket::INET;
use IO::Select;
my ($target, $rate) = @ARGV;
my $server = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 0, Listen => 16, ReuseAddr => 1)
    or die "listen: $!";
$| = 1;
print "port ", $server->sockport, "\n";
$SIG{CHLD} = 'IGNORE';
sub put { my ($fh, $data) = @_; while (length $data) { my $n = syswrite($fh, $data) // exit 0; substr($data, 0, $n) = ''; } }
while (my $client = $server->accept) {
    next if fork;
    my $upstream = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $target) or exit 1;
    my $select = IO::Select->new($client, $upstream);
    while (1) {
        for my $fh ($select->can_read) {
            my $n = sysread($fh, my $data, 16384);
            exit 0 unless $n;
            if ($fh == $client) { put($upstream, $data); select(undef, undef, undef, $n / $rate); }
            else { put($client, $data); }
        }
    }
}
PERL
perl "$work/relay.pl" "${address##*:}" 300000 >"$work/relay.out" 2>"$work/relay.log" &
pids+=($!)
wait_for 10 grep -q '^port ' "$work/relay.out" || fail "the relay did not start"
slow_address=127.0.0.1:$(sed -n 's|^port ||p' "$work/relay.out")

# --- The user's machine: home, settings, archives, packages -----------------------------------
home=$work/home
archives=$home/Library/Developer/Xcode/Archives
mkdir -p "$home" "$work/runtime" "$work/packages"
chmod 700 "$work/runtime"
fixtures=$repo/tests/fixtures

make_archive() { # folder name identifier version build colour date
    local dir=$archives/$1
    bash "$fixtures/make-archive.sh" "$dir" CFBundleIdentifier="$3" CFBundleShortVersionString="$4" \
        CFBundleVersion="$5" CFBundleDisplayName="$2" CFBundleName="$2" >/dev/null
    bash "$fixtures/make-icon.sh" "$dir/Products/Applications/Demo.app/Icon.png" 57 "$6" >/dev/null
    touch -d "$7" "$dir"
}
make_builds() {
    make_archive "2024-05-20/天气助手 2024-5-20 10.12.xcarchive" "天气助手" com.example.weather 2.4.0 118 "#2f80ed" "2024-05-20 10:12"
    make_archive "2024-05-19/记账本 2024-5-19 16.40.xcarchive" "记账本" com.example.ledger 1.8.2 77 "#27ae60" "2024-05-19 16:40"
    make_archive "2024-05-19/Quillo Demo 2024-5-19 09.05.xcarchive" "Quillo Demo" com.example.quillodemo 3.0.1 311 "#eb5757" "2024-05-19 09:05"
    make_archive "2024-05-17/番茄时钟 2024-5-17 21.30.xcarchive" "番茄时钟" com.example.pomodoro 1.0 12 "#f2994a" "2024-05-17 21:30"
}

bash "$fixtures/make-ipa.sh" "$work/packages/Weather.ipa" CFBundleIdentifier=com.example.weather \
    CFBundleShortVersionString=2.4.0 CFBundleVersion=118 CFBundleDisplayName=天气助手 CFBundleName=Weather >/dev/null
bash "$fixtures/make-apk.sh" --package com.example.ledger --label 记账本 --version-name 1.8.2 --version-code 77 \
    --densities mdpi,hdpi "$work/packages/Ledger.apk" >/dev/null
# A larger one for the upload under way: random bytes do not compress.
cp "$work/packages/Ledger.apk" "$work/packages/Ledger-full.apk"
mkdir -p "$work/packages/bulk/assets"
head -c 4000000 /dev/urandom >"$work/packages/bulk/assets/data.bin"
(cd "$work/packages/bulk" && zip -q -0 "$work/packages/Ledger-full.apk" assets/data.bin)

export HOME=$home
export XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache XDG_DATA_HOME=$home/.local/share
export XDG_RUNTIME_DIR=$work/runtime
export QUILLO_SETTINGS_FILE=$home/.config/quillo/preferences.json
export QUILLO_WORK_DIR=$work/work
export QUILLO_SERVICE_HOST=$address
export QUILLO_XCODEBUILD=$fixtures/fake-xcodebuild.sh
export QT_QPA_PLATFORM=xcb
export LANG=zh_CN.UTF-8 LANGUAGE=zh_CN
unset LC_ALL

# --- Driving the program ---------------------------------------------------------------------
start_desktop() { # [VAR=value...]
    env "$@" "$bin/quillo-desktop" >>"$work/desktop.log" 2>&1 &
    desktop_pid=$!
    wait_for 20 xdotool search --onlyvisible --name '^Quillo$' || fail "the main window did not appear (see $work/desktop.log)"
    main_window=$(xdotool search --onlyvisible --name '^Quillo$' | head -n 1)
    xdotool windowmove "$main_window" 24 36
    sleep 1
}
stop_desktop() {
    kill "$desktop_pid" 2>/dev/null || true
    wait "$desktop_pid" 2>/dev/null || true
    desktop_pid=
}
# The program's visible windows.
windows() { xdotool search --onlyvisible --classname quillo-desktop 2>/dev/null | sort; }
# Waits for a window of the program that is not among those given (as windows printed them).
new_window() { # "windows before" what
    local before=$1 w
    for _ in $(seq 100); do
        w=$(comm -13 <(printf '%s\n' "$before") <(windows) | tail -n 1)
        if [ -n "$w" ] && xdotool getwindowgeometry "$w" | grep -q 'Geometry: [0-9]\{3\}x[0-9]\{3\}'; then
            echo "$w"
            return 0
        fi
        sleep 0.1
    done
    fail "no window from $2"
}
capture() { # name window
    xdotool windowraise "$2"
    sleep 0.4
    import -window "$2" "$out/$1.png"
    say "$1.png"
}
capture_area() { # name x y width height
    import -window root -crop "$4x$5+$2+$3" +repage "$out/$1.png"
    say "$1.png"
}
click() { # window x y (inside the window)
    xdotool mousemove --window "$1" "$2" "$3" click 1
    sleep 0.3
}
type_text() { xdotool type --delay 20 "$1"; }
# The visible windows of a class whose size has three digits both ways (menus, popups, sheets:
# not tray icons), leaving out the windows given.
popups() { # classname-option class [window to leave out...]
    local option=$1 class=$2 w
    shift 2
    for w in $(xdotool search --onlyvisible "$option" "$class" 2>/dev/null); do
        case " $* " in *" $w "*) continue ;; esac
        if xdotool getwindowgeometry "$w" | grep -q 'Geometry: [0-9]\{3\}x[0-9]\{3\}'; then
            echo "$w"
        fi
    done
}

# The upload window (titled like the main window), moved beside it.
wait_upload_window() { # what opened it
    upload=
    for _ in $(seq 100); do
        upload=$(popups --name '^Quillo$' "$main_window" | tail -n 1)
        [ -n "$upload" ] && break
        sleep 0.1
    done
    [ -n "$upload" ] || fail "no upload window from $1"
    xdotool windowmove "$upload" 700 60
    sleep 0.5
}

# Login screen, registration with a field message, password recovery.
start_desktop
capture login "$main_window"
click "$main_window" 591 499                 # 注册
click "$main_window" 330 105                 # e-mail field of the registration panel
type_text "someone@example"
click "$main_window" 330 133                 # the next field: the e-mail is checked
sleep 0.5
capture register "$main_window"
click "$main_window" 511 499                 # 取消: back to the login panel
click "$main_window" 480 447                 # 忘记密码？
sleep 0.5
capture recovery "$main_window"
click "$main_window" 511 499
stop_desktop

# Log in as the demo user and see the recent builds.
make_builds
start_desktop
click "$main_window" 330 252
type_text "$email"
click "$main_window" 330 280
type_text "$password"
click "$main_window" 567 447                 # 登录
wait_for 10 grep -q 'Set launch log success' "$work/desktop.log" || fail "the login did not lead to the recent builds"
sleep 1
capture recent-builds "$main_window"

# The status menu, from the tray icon.
eval "$(xdotool search --class trayer | tail -n 1 | xargs -I{} xdotool getwindowgeometry --shell {})"
tray_x=$((X + WIDTH - 12))
tray_y=$((Y + HEIGHT / 2))
xdotool mousemove "$tray_x" "$tray_y" click 3
sleep 1
menu=$(popups --classname quillo-desktop "$main_window" | tail -n 1)
[ -n "$menu" ] || fail "the status menu did not open"
eval "$(xdotool getwindowgeometry --shell "$menu")"
capture_area status-menu $((X - 16)) 0 $((WIDTH + 16)) $((Y + HEIGHT + 12))

# The preferences, from the status menu.
before=$(windows)
click "$menu" 60 $((HEIGHT - 126))           # 偏好设置…
preferences=$(new_window "$before" "the preferences command")
xdotool windowmove "$preferences" 700 120
capture preferences-general "$preferences"
click "$preferences" 65 30                   # 高级
capture preferences-advanced "$preferences"
xdotool windowunmap "$preferences"

# A new archive: the notification with its button.
make_archive "2024-05-21/天气助手 2024-5-21 11.02.xcarchive" "天气助手" com.example.weather 2.5.0 121 "#2f80ed" "2024-05-21 11:02"
popup=
for _ in $(seq 60); do
    popup=$(popups --class notification-daemon | head -n 1)
    [ -n "$popup" ] && break
    sleep 0.2
done
[ -n "$popup" ] || fail "no notification appeared"
import -window "$popup" "$out/notification.png"
say "notification.png"
sleep 1.5
capture recent-builds-new "$main_window"

# No build: the archives moved away.
mv "$archives" "$work/archives-aside"
sleep 2.5
capture no-build "$main_window"
mv "$work/archives-aside" "$archives"

# The upload window on its drop target.
before=$(windows)
click "$main_window" 580 492                 # 上传安装包…
upload=$(new_window "$before" "the upload button")
xdotool windowmove "$upload" 700 60
capture upload-drop "$upload"
stop_desktop

# The form for an .ipa and for an .apk.
open_package() { # package [service host]
    start_desktop QUILLO_OPEN_PACKAGE="$1" QUILLO_SERVICE_HOST="${2:-$address}"
    wait_upload_window "$1"
    sleep 3
}
open_package "$work/packages/Weather.ipa"
capture upload-ios "$upload"
stop_desktop
open_package "$work/packages/Ledger.apk"
capture upload-android "$upload"
stop_desktop

# An upload under way (through the slow relay), then its result with the download page's code.
open_package "$work/packages/Ledger-full.apk" "$slow_address"
eval "$(xdotool getwindowgeometry --shell "$upload")"
click "$upload" $((WIDTH - 50)) $((HEIGHT - 28)) # 上传
sleep 5
capture uploading "$upload"
sheet=
for _ in $(seq 300); do
    sheet=$(popups --classname quillo-desktop "$main_window" "$upload" | tail -n 1)
    [ -n "$sheet" ] && break
    sleep 0.2
done
[ -n "$sheet" ] || fail "the upload did not finish"
sleep 0.5
capture upload-success "$sheet"
stop_desktop

say "done: $(ls "$out" | wc -l) pictures in $out"
