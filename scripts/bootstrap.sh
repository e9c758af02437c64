#!/usr/bin/env bash
# Installs, with apt-get, every Debian 12 package that the build, the tests and the programs need.
# Idempotent and quick when everything is present: only missing packages are installed.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config file ccache
    qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite qt6-qpa-plugins libgl-dev libxkbcommon-dev
    libplist-dev libzip-dev zlib1g-dev libsqlite3-dev libcurl4-openssl-dev libcpp-httplib-dev libqrencode-dev
    libwebp-dev                  # WebP icons of Android packages, converted to PNG by the core
    qt6-image-formats-plugins    # shows WebP icons in the desktop program
    libssl-dev  # libcrypto's PBKDF2 for the stand-in service's password hashes
    # tools the program runs, and the real tools the tests make their fixtures with
    aapt android-framework-res libimobiledevice-utils libplist-utils zip unzip openssl curl sqlite3
    qrencode    # the QR code tests compare the page's code with the reference encoder's
    zbar-tools  # reads the QR code of the download page in the service's tests
    xdg-utils   # xdg-open, which opens addresses in the browser (quillo --open, the desktop's URL handler)
    git bc      # the layout check lists the sources with git; the server's memory benchmark computes with bc
    jq yq       # the CI examples in docs/ci parse quillo's JSON with jq; their test reads the YAML with yq
    webp pngcheck  # WebP icon fixtures (cwebp); an independent check of the PNGs the icon decoder writes
    # desktop tests and screenshots: virtual display, session bus, notification service, tray host
    xvfb xauth dbus dbus-x11 notification-daemon xdotool imagemagick trayer fonts-wqy-microhei
    # proxy tests (a real proxy; the desktop's proxy settings as GNOME keeps them), fuzzing, sanitizers
    tinyproxy libproxy1-plugin-gsettings libglib2.0-bin dconf-service dconf-gsettings-backend
    gsettings-desktop-schemas clang libclang-rt-14-dev
    # the Debian package and its checks: manual pages, lintian, the desktop-entry and AppStream
    # validators, dpkg-shlibdeps; the shell completion's tests
    help2man man-db lintian desktop-file-utils appstream dpkg-dev bash-completion zsh
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "bootstrap: all ${#packages[@]} packages present"
    exit 0
fi

echo "bootstrap: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
