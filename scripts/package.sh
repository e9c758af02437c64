#!/usr/bin/env bash
# The Debian package in one go: installs what the build needs (scripts/bootstrap.sh), configures a
# Release build in a folder of its own (${QUILLO_PACKAGE_BUILD_DIR:-build-package}) with Debian's
# hardening flags, builds the programs, and packages them with CPack. The last line printed is the
# package's path:
#
#     bash scripts/package.sh
#     sudo apt install ./build-package/quillo_*_amd64.deb
#
# QUILLO_CMAKE_OPTIONS adds configure options, e.g. the service host of a release:
# QUILLO_CMAKE_OPTIONS=-DQUILLO_SERVICE_HOST=upload.example.com bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${QUILLO_PACKAGE_BUILD_DIR:-build-package}

if [ "${QUILLO_SKIP_BOOTSTRAP:-}" != 1 ]; then
    bash scripts/bootstrap.sh
fi

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    # Stack protector, fortified functions, full RELRO and immediate binding, as Debian builds
    # its own packages. CMake does not read CPPFLAGS, so it goes in front of the compile flags.
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_TESTS=OFF -DQUILLO_BENCH=OFF
        "-DCMAKE_C_FLAGS=$CPPFLAGS $CFLAGS" "-DCMAKE_CXX_FLAGS=$CPPFLAGS $CXXFLAGS" "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS")
    if command -v ccache >/dev/null 2>&1; then
        options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build_dir" "${options[@]}" ${QUILLO_CMAKE_OPTIONS:-}
fi
cmake --build "$build_dir" --parallel "$(nproc)"
(cd "$build_dir" && cpack -G DEB)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
package=$(realpath "$build_dir/quillo_${version}_$(dpkg --print-architecture).deb")
[ -f "$package" ] || { echo "package: CPack made no $package" >&2; exit 1; }
echo "$package"
