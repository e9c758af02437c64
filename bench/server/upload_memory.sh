#!/usr/bin/env bash
# Memory of quillo-server while it receives one large upload: the package is streamed to disk,
# so the peak resident size must not grow with the package.
#
#   bench/server/upload_memory.sh [BUILD_DIR] [SIZE_MIB]      (defaults: build, 1024)
#
# Prints the server's resident size (VmRSS) and peak (VmHWM) before and after the upload, the
# package size and the upload time. Runs on loopback only and removes what it made.
set -euo pipefail
build=${1:-build}
size_mib=${2:-1024}
server=$build/bin/quillo-server
[ -x "$server" ] || { echo "not built: $server" >&2; exit 1; }
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# An .apk from aapt, with a large stored asset added by zip (a sparse file reads as zeros).
mkdir -p "$work/src/res/drawable"
cat > "$work/src/AndroidManifest.xml" <<'XML'
<manifest xmlns:android="http://schemas.android.com/apk/res/android" package="com.example.large"
    android:versionCode="1" android:versionName="1.0"><application android:label="Large"/></manifest>
XML
aapt package -f -M "$work/src/AndroidManifest.xml" -I /usr/share/android-framework-res/framework-res.apk -F "$work/large.apk"
mkdir -p "$work/src/assets"
truncate -s "${size_mib}M" "$work/src/assets/filler.bin"
(cd "$work/src" && zip -q -0 "$work/large.apk" assets/filler.bin)
rm "$work/src/assets/filler.bin"

QUILLO_RESOURCE_DIR=${QUILLO_RESOURCE_DIR:-$build/share/quillo/resources} \
    "$server" --listen 127.0.0.1:0 --data "$work/data" --max-upload-mb $((size_mib + 64)) >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do grep -q '^listening on' "$work/out" 2>/dev/null && break; sleep 0.1; done
base=$(head -1 "$work/out" | sed 's/^listening on //')
key=7c1e4a90d25b3f86e0a9c4d71b2f5e38
curl -s --data "email=bench%40example.com&name=bench&password=bench123&_uId=&_api_key=$key&_token=" "$base/apiv1/user/register" >/dev/null
ukey=$(curl -s --data "email=bench%40example.com&password=bench123&_uId=&_api_key=$key&_token=" "$base/apiv1/user/login" |
       sed 's/.*"userKey":"\([0-9a-f]*\)".*/\1/')

memory() { grep -E '^(VmRSS|VmHWM)' "/proc/$pid/status" | tr -s ' \t' ' ' | tr '\n' ' '; }
echo "package: $(stat -c %s "$work/large.apk") bytes"
echo "before:  $(memory)"
start=$(date +%s.%N)
reply=$(curl -s -F "_api_key=$key" -F isPublishToPublic=1 -F name=Large -F password= -F publishRange=2 -F shortcut=large \
             -F "uKey=$ukey" -F updateDescription=bench \
             -F "file=@$work/large.apk;type=application/vnd.android.package-archive" "$base/apiv1/app/upload")
end=$(date +%s.%N)
echo "after:   $(memory)"
echo "reply:   $reply"
echo "upload:  $(echo "$end - $start" | bc) s"
