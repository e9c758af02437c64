#!/usr/bin/env bash
# The main job: set-up, then the local stand-in service with a demo account and, where a display
# exists, the desktop program against it; without a display (or without the desktop program) the
# same road through the command line: log in, build a sample .apk with aapt, upload it, print the
# download page's address and fetch that page once.
#
# Everything the demo writes (the service's data, the session, unpacked files) lives in one
# temporary folder that is removed at the end, with the service stopped; the user's own settings
# are not touched. QUILLO_BUILD_DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
bin=${QUILLO_BUILD_DIR:-build}/bin

say() { printf 'run: %s\n' "$*"; }
fail() { printf 'run: %s\n' "$*" >&2; exit 1; }

for program in quillo-server quillo; do
    [ -x "$bin/$program" ] || fail "$program was not built (see the build output above)"
done

demo=$(mktemp -d "${TMPDIR:-/tmp}/quillo-demo.XXXXXX")
server_pid=
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The stand-in service on loopback: on the default port when it is free, otherwise on one the
# system picks.
listen=127.0.0.1:8690
if (exec 3<>/dev/tcp/127.0.0.1/8690) 2>/dev/null; then
    listen=127.0.0.1:0
fi
"$bin/quillo-server" --seed-demo --listen "$listen" --data "$demo/service" \
    >"$demo/service.out" 2>"$demo/service.log" &
server_pid=$!
address=
for _ in $(seq 100); do
    address=$(sed -n 's|^listening on http://||p' "$demo/service.out")
    [ -n "$address" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.2
done
if [ -z "$address" ]; then
    cat "$demo/service.log" >&2
    fail "the stand-in service did not start"
fi
account=$(sed -n 's|^demo account: ||p' "$demo/service.out")
email=${account%% / *}
password=${account#* / }
[ -n "$email" ] && [ -n "$password" ] || fail "the stand-in service named no demo account"
say "stand-in service at http://$address (demo account: $email / $password)"

export QUILLO_SERVICE_HOST=$address
export QUILLO_SETTINGS_FILE=$demo/preferences.json
export QUILLO_WORK_DIR=$demo/work

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    if [ -x "$bin/quillo-desktop" ]; then
        say "starting the desktop program; log in with $email / $password (quit it to stop the demo)"
        status=0
        "$bin/quillo-desktop" || status=$?
        if [ "$status" -eq 0 ]; then
            exit 0
        fi
        say "the desktop program ended with status $status; showing the command-line upload instead"
    else
        say "quillo-desktop is not built in $bin; showing the command-line upload instead"
    fi
fi

quillo=$bin/quillo
say "logging in as $email"
printf '%s\n' "$password" | "$quillo" login --email "$email" --password-stdin

say "building a sample .apk with aapt"
apk=$demo/QuilloDemo.apk
bash tests/fixtures/make-apk.sh --package com.example.quillodemo --label "Quillo Demo" \
    --version-name 1.0 --version-code 1 "$apk" >/dev/null

say "uploading it: $quillo upload QuilloDemo.apk --json --qr"
result=$("$quillo" upload "$apk" --json --qr --notes "Uploaded by scripts/run.sh")
printf '%s\n' "$result"
url=$(printf '%s\n' "$result" | sed -n 's|.*"downloadUrl":"\([^"]*\)".*|\1|p')
[ -n "$url" ] || fail "the upload reported no download page"
say "download page: $url"

page=$demo/page.html
curl -fsS --max-time 20 -o "$page" "$url" || fail "the download page could not be fetched"
title=$(sed -n 's|.*<title>\([^<]*\)</title>.*|\1|p' "$page" | head -n 1)
say "fetched the download page ($(wc -c <"$page") bytes)${title:+: $title}"
say "done; stopping the stand-in service"
