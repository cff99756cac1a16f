#!/usr/bin/env bash
# Builds gxemp's Debian package and checks it. The package has a build of its own, configured
# for the prefix /usr (where the service then opens its motion library and the units find it),
# without tests or benchmarks and with Debian's hardening flags (dpkg-buildflags); `cpack -G DEB`
# makes the package from its install, and tests/install/package.sh checks the result (its files,
# Depends, maintainer scripts, lintian).
#   scripts/package.sh                     build/package/gxemp_<version>_<arch>.deb
#   BUILD_DIR=DIR scripts/package.sh       another build directory
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build/package}
if [ ! -f "$build/CMakeCache.txt" ]; then
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    # CMake takes the preprocessor's flags with the compiler's.
    CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS" \
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DGXEMP_BUILD_TESTS=OFF -DGXEMP_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2
rm -f "$build"/gxemp_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
tests/install/package.sh "$build"/gxemp_*.deb "$libdir"
