#!/usr/bin/env bash
# The Debian package as Debian's tools and a user see it. CPack builds it from BUILD_DIR (the
# normal build folder; nothing is compiled again) into a temporary folder; then its control
# fields, its files, lintian (no error; warnings are listed), desktop-file-validate, appstreamcli,
# the manual pages, and the programs unpacked with dpkg-deb -x into a temporary root and run from
# there: quillo --version, quillo inspect of an .apk made with aapt (found through the unpacked
# resource folder), quillo-server --help, quillo-desktop --help.
#
#   tests/package/check-package.sh BUILD_DIR
#
# Prints one line per check, the package's size, Depends line and lintian's warnings; exits 1 if
# any check failed.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 64; }
build=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quillo-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" >"$work/check.out" 2>&1; then
        echo "ok    $what"
    else
        echo "FAIL  $what"
        sed 's/^/      /' "$work/check.out" | head -n 40
        failures=$((failures + 1))
    fi
}

for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli man file readelf; do
    command -v "$tool" >/dev/null || { echo "check-package: $tool is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done

# --- Build ---------------------------------------------------------------------------------------
started=$(date +%s)
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "check-package: cpack failed" >&2
    exit 1
fi
version=$("$build/bin/quillo" --version | awk '{ print $2 }')
arch=$(dpkg --print-architecture)
deb=$work/out/quillo_${version}_${arch}.deb
[ -f "$deb" ] || { ls "$work/out" >&2; echo "check-package: no $(basename "$deb")" >&2; exit 1; }
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes, made in $(($(date +%s) - started)) s"

# --- Control fields ------------------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
has_item() { # has_item LIST NAME: NAME is one of the comma-separated items (alternatives count)
    tr ',|' '\n\n' <<<"$1" | sed 's/^ *//; s/ .*//' | grep -qx -- "$2"
}
depends=$(field Depends)
recommends=$(field Recommends)
echo "Depends: $depends"
echo "Recommends: $recommends"
check "Package is quillo" test "$(field Package)" = quillo
check "Version $version is the programs' and a plain version" \
    bash -c '[[ $1 == "$2" && $1 =~ ^[0-9]+(\.[0-9]+)+$ ]]' _ "$(field Version)" "$version"
check "Architecture is $arch" test "$(field Architecture)" = "$arch"
check "Depends names aapt" has_item "$depends" aapt
# Present only when dpkg-shlibdeps read the programs.
for library in libc6 libqt6core6 libqt6widgets6 libcurl4 libplist3 libzip4; do
    check "Depends names $library (from dpkg-shlibdeps)" has_item "$depends" "$library"
done
check "Recommends names libimobiledevice-utils" has_item "$recommends" libimobiledevice-utils
check "Maintainer, Section, Homepage are set" \
    bash -c '[[ -n $1 && $2 == devel && $3 == https://* ]]' _ "$(field Maintainer)" "$(field Section)" "$(field Homepage)"
check "Description has a synopsis and a paragraph for users" \
    bash -c '[[ $(printf "%s\n" "$1" | wc -l) -ge 5 && $1 == *quillo-desktop* ]]' _ "$(field Description)"

# --- Files ---------------------------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' >"$work/contents"
listed() { grep -qxF -- "$1" "$work/contents"; }
for program in quillo quillo-desktop quillo-server; do
    check "/usr/bin/$program" listed "./usr/bin/$program"
    check "manual page $program(1)" listed "./usr/share/man/man1/$program.1.gz"
done
check "only the three programs in /usr/bin" test "$(grep -c '^\./usr/bin/.' "$work/contents")" -eq 3
check "nothing outside /usr" bash -c '! grep -v -e "^\./$" -e "^\./usr/" "$1"' _ "$work/contents"
check "aapt link in the resource folder" listed "./usr/share/quillo/resources/aapt -> $(command -v aapt)"
check "deviceconsole in the resource folder" listed "./usr/share/quillo/resources/deviceconsole"
check "desktop entry" listed "./usr/share/applications/quillo.desktop"
for size in 16 24 32 48 64 128 256; do
    check "icon ${size}x${size}" listed "./usr/share/icons/hicolor/${size}x${size}/apps/quillo.png"
done
check "AppStream metadata" grep -qE '^\./usr/share/metainfo/[a-z0-9.]+\.metainfo\.xml$' "$work/contents"
check "bash completion" listed "./usr/share/bash-completion/completions/quillo"
check "zsh completion" listed "./usr/share/zsh/vendor-completions/_quillo"
check "copyright and changelog" \
    bash -c 'grep -qxF ./usr/share/doc/quillo/copyright "$1" && grep -qxF ./usr/share/doc/quillo/changelog.gz "$1"' _ "$work/contents"

# --- lintian -------------------------------------------------------------------------------------
lintian_status=0
lintian --tag-display-limit 0 --fail-on error "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
echo "lintian warnings:"
grep '^W:' "$work/lintian.log" | sed 's/^/  /' || echo "  none"
# 0: no error; 1: errors; anything else: lintian itself failed.
check "lintian reports no error" bash -c 'grep "^E:" "$2"; [ "$1" -eq 0 ] || { cat "$2"; false; }' _ "$lintian_status" "$work/lintian.log"

# --- Unpacked tree: validators, manual pages, icons ----------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml)
check "desktop-file-validate passes" bash -c 'out=$(desktop-file-validate "$1" 2>&1) && [ -z "$out" ] || { echo "$out"; false; }' \
    _ "$root/usr/share/applications/quillo.desktop"
check "appstreamcli validate --no-net passes" appstreamcli validate --no-net "$metainfo"
check "AppStream's newest release is $version" \
    bash -c 'grep -m1 -o "<release version=\"[^\"]*\"" "$1" | grep -qxF "<release version=\"$2\""' _ "$metainfo" "$version"
check "changelog's newest entry is $version" \
    bash -c 'zcat "$1" | head -n 1 | grep -q "^quillo ($2) "' _ "$root/usr/share/doc/quillo/changelog.gz" "$version"
for size in 16 24 32 48 64 128 256; do
    check "icon ${size}x${size} is ${size} by ${size} pixels" \
        bash -c 'file "$1" | grep -q "PNG image data, $2 x $2,"' _ "$root/usr/share/icons/hicolor/${size}x${size}/apps/quillo.png" "$size"
done
man_page() { # man_page PAGE TEXT: renders without a warning and shows TEXT
    local rendered
    rendered=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -E UTF-8 -l "$1" 2>"$work/man.err") || return 1
    [ ! -s "$work/man.err" ] || { cat "$work/man.err"; return 1; }
    grep -qF -- "$2" <<<"$rendered" || { echo "no \"$2\" in:"; head -n 30 <<<"$rendered"; return 1; }
}
check "quillo(1) renders and lists upload's place" man_page "$root/usr/share/man/man1/quillo.1.gz" "upload"
check "quillo-desktop(1) renders and explains --hidden" man_page "$root/usr/share/man/man1/quillo-desktop.1.gz" "--hidden"
check "quillo-server(1) renders and lists --listen" man_page "$root/usr/share/man/man1/quillo-server.1.gz" "--listen"
# A program that loads Qt's SQL module needs the SQLite driver, which no library dependency names.
for program in quillo quillo-desktop quillo-server; do
    if readelf -d "$root/usr/bin/$program" | grep -q 'libQt6Sql'; then
        check "$program uses Qt SQL: Depends names libqt6sql6-sqlite" has_item "$depends" libqt6sql6-sqlite
    fi
done

# --- The unpacked programs, run from the temporary root ------------------------------------------
home=$work/home
mkdir -p "$home"
# Nothing from the build or the caller's environment (QUILLO_RESOURCE_DIR above all) may point the
# programs elsewhere.
clean=(env -i HOME="$home" PATH=/usr/bin:/bin LC_ALL=C.UTF-8 QUILLO_SERVICE_HOST=127.0.0.1:9)
bin=$root/usr/bin
check "quillo --version prints $version" bash -c 'out=$("${@:2}") && [ "$out" = "quillo $1" ]' _ \
    "$version" "${clean[@]}" "$bin/quillo" --version
check "quillo-desktop --version and --help without a display" \
    bash -c 'v=$("${@:2}" --version) && h=$("${@:2}" --help) && [ "$v" = "quillo-desktop $1" ] && [[ $h == *--hidden* ]]' _ \
    "$version" "${clean[@]}" "$bin/quillo-desktop"
check "quillo-server --help" bash -c 'h=$("$@") && [[ $h == *--listen* && $h == *--data* ]]' _ \
    "${clean[@]}" "$bin/quillo-server" --help
apk=$work/fixture/demo.apk
mkdir -p "$work/fixture"
bash "$source_dir/tests/fixtures/make-apk.sh" --package org.example.unpacked --version-name 4.5.6 "$apk" >"$work/apk.log" 2>&1 ||
    { cat "$work/apk.log" >&2; exit 1; }
check "quillo inspect reads the .apk with the unpacked tree's aapt" \
    bash -c 'out=$("$@") && [[ $out == *org.example.unpacked* && $out == *4.5.6* ]] || { echo "$out"; false; }' _ \
    "${clean[@]}" "$bin/quillo" inspect "$apk" --json
# Without the link in the unpacked resource folder the same command fails: the tool was found there.
mv "$root/usr/share/quillo/resources/aapt" "$work/aapt.link"
check "without that link, quillo inspect says aapt is missing from the unpacked tree" \
    bash -c 'out=$("${@:2}" 2>&1); status=$?; [[ $status -eq 1 && $out == *"$1/aapt"* ]] || { echo "$status: $out"; false; }' _ \
    "$root/usr/share/quillo/resources" "${clean[@]}" "$bin/quillo" inspect "$apk" --json
mv "$work/aapt.link" "$root/usr/share/quillo/resources/aapt"

echo "package size: $(stat -c %s "$deb") bytes; installed size: $(field Installed-Size) KiB"
if [ "$failures" -gt 0 ]; then
    echo "$failures package checks failed"
    exit 1
fi
echo "all package checks passed"
