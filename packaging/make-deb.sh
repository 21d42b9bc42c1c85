#!/usr/bin/env bash
# Makes the Debian package of the uploader, tessarine-uploader_VERSION_ARCH.deb,
# in build/deb: installs what building needs, builds the uploader and its file
# checker in Release and packs them with cpack -G DEB (dpkg-shlibdeps works out its
# dependencies). Then shows the package's fields and files, and what lintian
# says about it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/deb

"$root/dev/install-deps.sh"
# Built with Debian's hardening flags: stack protector, fortified functions,
# position-independent executable, read-only relocations bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"  # CMake reads no CPPFLAGS
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tessarine-uploader tsu-check
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/*.deb)
echo
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo
echo "lintian:"
lintian --info "$deb" || true
echo
echo "The package: $deb"
