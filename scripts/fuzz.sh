#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each for a given time, one at a time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default 300 seconds each, every target)
#   scripts/fuzz.sh --list
#
# Targets: propertylist profile zip reply badging devicelog multipart png.
# Build folder: ${QUILLO_FUZZ_BUILD_DIR:-build-fuzz}. Below it, in fuzz/:
#   seeds/<target>     made once by the real tools (zip, plistutil, openssl, aapt, gzip, iconv)
#                      through the scripts in tests/fixtures/
#   corpus/<target>    what the fuzzer keeps, grown from run to run
#   findings/<target>  crash-*, timeout-*, leak-*, oom-* inputs; reproduce one with
#                      build-fuzz/bin/fuzz_<target> <file>
#   logs/<target>.log  the last run's output
# Ends with one line per target: executions, corpus size and the number of findings; exits 1
# when any target has findings. Extra libFuzzer flags: QUILLO_FUZZ_FLAGS="-dict=... -jobs=...".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
all_targets=(propertylist profile zip reply badging devicelog multipart png)
if [ "${1:-}" = "--list" ]; then
    printf '%s\n' "${all_targets[@]}"
    exit 0
fi
seconds=300
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
for target in "${targets[@]}"; do
    [[ " ${all_targets[*]} " == *" $target "* ]] || { echo "fuzz: unknown target $target" >&2; exit 64; }
done

build_dir=${QUILLO_FUZZ_BUILD_DIR:-build-fuzz}
if [ "${QUILLO_SKIP_BOOTSTRAP:-}" != 1 ]; then
    bash scripts/bootstrap.sh
fi
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    options=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_FUZZ=ON -DQUILLO_GUI=OFF -DQUILLO_TESTS=OFF
             -DQUILLO_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    if command -v ccache >/dev/null 2>&1; then
        options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build_dir" "${options[@]}"
fi
# Only the targets asked for (and the crusher that makes the png seeds).
build_targets=(crush-png)
for target in "${targets[@]}"; do
    build_targets+=("fuzz_$target")
done
cmake --build "$build_dir" --target "${build_targets[@]}" --parallel "${QUILLO_JOBS:-$(nproc)}"

work=$root/$build_dir/fuzz
fixtures=$root/tests/fixtures
export LC_ALL=C.UTF-8

# ---- seeds, made by the real tools ----
make_seeds() {
    local target=$1 dir=$work/seeds/$1
    [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ] && return 0
    rm -rf "$dir"
    mkdir -p "$dir"
    local tmp
    tmp=$(mktemp -d)
    case $target in
    propertylist)
        bash "$fixtures/make-plist.sh" "$dir/info.xml" CFBundleIdentifier=com.example.demo CFBundleVersion=45 \
            CFBundleShortVersionString=1.2.3 CFBundleDisplayName='演示 & <Demo>' CFBundleName=Demo
        bash "$fixtures/make-plist.sh" --binary "$dir/info.bin" CFBundleIdentifier=com.example.demo \
            CFBundleVersion:integer=45 Ratio:real=1.5 Enabled:true Disabled:false CFBundleDisplayName=演示
        cat > "$tmp/nested.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Name</key><string>Nested &amp; more</string>
	<key>CreationDate</key><date>2024-02-29T12:34:56Z</date>
	<key>DeveloperCertificates</key><array><data>AAECAwQFBgc=</data><data></data></array>
	<key>Entitlements</key><dict><key>get-task-allow</key><false/><key>keychain</key><array><string>A.*</string></array></dict>
	<key>TimeToLive</key><integer>-7</integer>
	<key>Big</key><integer>18446744073709551615</integer>
	<key>Real</key><real>-0.125</real>
</dict>
</plist>
XML
        cp "$tmp/nested.xml" "$dir/nested.xml"
        plistutil -i "$tmp/nested.xml" -o "$dir/nested.bin" -f bin 2>/dev/null || plistutil -i "$tmp/nested.xml" -o "$dir/nested.bin"
        bash "$fixtures/make-profile.sh" --form bare "$dir/profile.xml" "Demo Profile"
        ;;
    profile)
        for form in signed bare no-end no-begin garbled; do
            bash "$fixtures/make-profile.sh" --form "$form" "$dir/$form.mobileprovision" "Profile $form 演示"
        done
        ;;
    zip)
        bash "$fixtures/make-ipa.sh" "$dir/demo.ipa"
        bash "$fixtures/make-ipa.sh" --binary --no-icon "$dir/binary.ipa"
        bash "$fixtures/make-ipa.sh" --app '演示 App.app' "$dir/utf8.ipa"
        mkdir -p "$tmp/tree/Payload/Demo.app" "$tmp/tree/AA"
        printf 'x' > "$tmp/tree/AA/x"
        printf 'y' > "$tmp/tree/Payload/Demo.app/y"
        ln -s ../../.. "$tmp/tree/Payload/Demo.app/up"
        bash "$fixtures/make-zip.sh" --links "$dir/links.zip" "$tmp/tree"
        bash "$fixtures/make-zip.sh" -0 "$tmp/parent.zip" "$tmp/tree" AA/x Payload/Demo.app/y
        bash "$fixtures/rename-entry.sh" "$tmp/parent.zip" AA/x ../x
        cp "$tmp/parent.zip" "$dir/parent.zip"
        bash "$fixtures/make-apk.sh" --label "It's" "$dir/demo.apk" 2>/dev/null || true
        ;;
    reply)
        # One flag byte (bit 0: gzip), the Content-Type, a line feed, the body.
        printf '\x00application/json\n  {"code":0,"data":{"appShortcutUrl":"abc"}}\n' > "$dir/plain"
        printf '\x00application/json; charset=utf-8\n{"code":"1002","message":"后缀已存在"}' > "$dir/refusal"
        printf '\x00text/html\n<html><body>500 Internal Server Error</body></html>' > "$dir/html"
        { printf '\x01application/json\n'; printf '{"code":0,"data":[1,2,3]}' | gzip -c; } > "$dir/gzip"
        { printf '\x03application/json\n'; printf '{"code":0}' | gzip -c; printf '{"code":1}' | gzip -c; } > "$dir/gzip-members"
        { printf '\x00application/json; charset=GBK\n'; printf '{"code":0,"data":"中文"}' | iconv -f UTF-8 -t GBK; } > "$dir/gbk"
        { printf '\x00text/json; charset="UTF-16LE"\n'; printf '{"code":7}' | iconv -f UTF-8 -t UTF-16LE; } > "$dir/utf16"
        printf '\x00application/json\n\xef\xbb\xbf{"code":-5,"data":3}' > "$dir/bom"
        ;;
    badging)
        local n=0
        for options in "" "--label It's\"quoted\"" "--no-version-name --densities mdpi,hdpi,xxhdpi" \
                       "--no-label --no-icon" "--label-zh 演示 --label-fr Démo --package org.example.x.y"; do
            n=$((n + 1))
            # shellcheck disable=SC2086
            if bash "$fixtures/make-apk.sh" $options "$tmp/$n.apk" 2>/dev/null; then
                aapt dump badging "$tmp/$n.apk" > "$dir/badging-$n.txt" 2>/dev/null || true
            fi
        done
        printf "package: name='a' versionCode='1' versionName='1.0'\r\napplication: label='x' icon='../../etc/passwd'\n" > "$dir/hostile.txt"
        ;;
    devicelog)
        # One byte that says where the chunks end, then the tool's output.
        printf '\x1bDec  7 10:00:01 iPhone SpringBoard[57] <Notice>: hello\nDec 17 10:00:02 iPhone backboardd[60] <Error>: two\nlines\n' > "$dir/lines"
        printf '\x2d\n\nJan  1 00:00:00 iPad kernel[0] <Debug>: \xe2\x86\x92 arrow \xe4\xb8\xad\xe6\x96\x87\n' > "$dir/utf8"
        printf '\x00Jan   5 12:00:00 not a boundary\nFeb 5 1:00:00 nor this\nMar 05 01:00:00 d p[1] <N>: yes' > "$dir/edges"
        ;;
    png)
        # Crushed icons of every kind the crusher makes, ordinary PNGs, a lossless and a lossy WebP.
        export QUILLO_CRUSH_PNG=$root/$build_dir/bin/crush-png
        bash "$fixtures/make-crushed-icon.sh" "$dir/rgba.png" 24 "$tmp/reference.png"
        bash "$fixtures/make-crushed-icon.sh" --rgb --interlace "$dir/rgb-interlaced.png" 13
        bash "$fixtures/make-crushed-icon.sh" --interlace --split 40 "$dir/rgba-interlaced.png" 9
        bash "$fixtures/make-crushed-icon.sh" --zlib --filter 4 "$dir/zlib-paeth.png" 16
        cp "$tmp/reference.png" "$dir/ordinary.png"
        bash "$fixtures/make-icon.sh" "$dir/plain.png" 12 green
        cwebp -quiet -lossless "$tmp/reference.png" -o "$dir/lossless.webp"
        cwebp -quiet "$tmp/reference.png" -o "$dir/lossy.webp"
        ;;
    multipart)
        head -c 512 /dev/urandom > "$dir/random-1"
        head -c 4096 /dev/urandom > "$dir/random-2"
        bash "$fixtures/make-ipa.sh" "$dir/ipa"
        ;;
    esac
    rm -rf "$tmp"
}

declare -A max_len=([propertylist]=65536 [profile]=65536 [zip]=65536 [reply]=65536 [badging]=65536
                    [devicelog]=16384 [multipart]=16384 [png]=16384)
declare -A dict=([propertylist]=propertylist [profile]=propertylist [badging]=badging [devicelog]=devicelog)

summary=()
found_any=0
mkdir -p "$work/logs"
for target in "${targets[@]}"; do
    make_seeds "$target"
    corpus=$work/corpus/$target
    findings=$work/findings/$target
    mkdir -p "$corpus" "$findings"
    flags=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$target]}"
           -print_final_stats=1 -artifact_prefix="$findings/")
    if [ -n "${dict[$target]:-}" ]; then
        flags+=(-dict="$root/fuzz/dict/${dict[$target]}.dict")
    fi
    echo "fuzz: $target for $seconds s"
    status=0
    # shellcheck disable=SC2086
    TMPDIR=${TMPDIR:-/tmp} "$root/$build_dir/bin/fuzz_$target" "${flags[@]}" ${QUILLO_FUZZ_FLAGS:-} \
        "$corpus" "$work/seeds/$target" > "$work/logs/$target.log" 2>&1 || status=$?
    runs=$(grep -ao 'stat::number_of_executed_units: [0-9]*' "$work/logs/$target.log" | tail -1 | awk '{print $2}')
    count=$(find "$findings" -type f | wc -l)
    size=$(find "$corpus" -type f | wc -l)
    [ "$count" -eq 0 ] && [ "$status" -eq 0 ] || found_any=1
    summary+=("$(printf '%-13s %12s executions  %6s in corpus  %3s findings  (exit %s)' "$target" "${runs:-?}" "$size" "$count" "$status")")
done
echo
printf '%s\n' "${summary[@]}"
exit $found_any
