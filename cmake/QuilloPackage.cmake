# The Debian package: `cpack -G DEB` in a configured build folder makes quillo_<version>_<arch>.deb
# from the install rules (scripts/package.sh does configure, build and package in one go).
# The version is the project's alone, so a build from a modified or untagged tree gets the same
# plain version as its release. Depends comes from dpkg-shlibdeps on the programs, plus the tools
# the programs run.
set(QUILLO_HOMEPAGE "https://quillo.example/" CACHE STRING "Homepage named by the package and the AppStream metadata")
set(QUILLO_MAINTAINER "Quillo desktop team <desktop@quillo.example>" CACHE STRING "The package's maintainer")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUILLO_MAINTAINER})
set(CPACK_PACKAGE_HOMEPAGE_URL ${QUILLO_HOMEPAGE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "publish iOS and Android test builds to Quillo")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_SOURCE_DIR}/resources/debian/description.txt)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Installed files are 0644/0755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# aapt reads Android packages; Qt's SQLite driver (a plugin, which dpkg-shlibdeps cannot see)
# holds the build folders' package cache; idevicesyslog feeds the device log; xdg-open opens the
# download page; the interface is Chinese and needs a CJK font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "aapt, libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libimobiledevice-utils, xdg-utils, fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
