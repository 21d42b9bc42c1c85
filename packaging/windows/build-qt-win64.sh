#!/usr/bin/env bash
# Builds the Qt and RtMidi that the Windows uploader is linked against, from
# Debian 12's own source packages (with Debian's patches, security fixes
# among them), for 64-bit Windows with mingw-w64:
#
#   packaging/windows/build-qt-win64.sh [OUTDIR]
#
# - Qt 5.15.8 (qtbase), static, release: Core, Gui, Widgets, the "windows"
#   platform plugin and the "windowsvista" style, with moc, rcc and uic built
#   to run here;
# - RtMidi 5.0.0, static, with its Windows Multimedia backend alone;
# both installed into PREFIX (default /opt/qt5-win64-static), which it then
# packs as OUTDIR/qt5-win64-static-5.15.8.tar.xz (OUTDIR: build/qt-win64).
# packaging/windows/make-win64-zip.sh --qt PREFIX (or the tarball) builds the uploader
# against it. About 15 minutes on 2 cores, 3 GB of disk in WORK.
#
# Environment: PREFIX, WORK (sources and builds; default build/qt-win64/work),
# JOBS (default: the number of CPUs). Needs root or sudo (apt-get, PREFIX).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
outdir=${1:-$root/build/qt-win64}
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
PREFIX=${PREFIX:-/opt/qt5-win64-static}
WORK=${WORK:-$outdir/work}
JOBS=${JOBS:-$(nproc)}

# The exact source versions: a newer Debian point release changes these.
qt_version=5.15.8
qt_src=qtbase-opensource-src qt_deb=5.15.8+dfsg-11+deb12u3
rtmidi_src=rtmidi rtmidi_deb=5.0.0-3
triplet=x86_64-w64-mingw32

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
say() { echo "== build-qt-win64: $*"; }

say "Debian packages"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  dpkg-dev g++ make perl python3 xz-utils cmake ninja-build \
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev

say "sources"
# Debian's images carry no deb-src entry: one is made from the binary entries.
have_source() { apt-cache showsrc "$1" 2>/dev/null | grep -qx "Version: $2"; }
if ! have_source $qt_src $qt_deb || ! have_source $rtmidi_src $rtmidi_deb; then
  if [ -f /etc/apt/sources.list.d/debian.sources ] &&
     ! grep -qs 'deb-src' /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/tessarine-src.sources; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo[@]}" tee /etc/apt/sources.list.d/tessarine-src.sources >/dev/null
  fi
  "${sudo[@]}" apt-get update
fi
mkdir -p "$WORK/src"
for pair in $qt_src=$qt_deb $rtmidi_src=$rtmidi_deb; do
  dir=$WORK/src/${pair%%=*}-$(v=${pair#*=}; echo "${v%-*}")
  if [ "$(cat "$dir/.unpacked" 2>/dev/null)" != "$pair" ]; then
    rm -rf "$dir"
    (cd "$WORK/src" && apt-get source "$pair")   # unpacks with Debian's patches applied
    echo "$pair" > "$dir/.unpacked"
  fi
done
qt_dir=$WORK/src/$qt_src-${qt_deb%-*}
rtmidi_dir=$WORK/src/$rtmidi_src-${rtmidi_deb%-*}

# Qt's win32-g++ mkspec calls $(CROSS_COMPILE)g++: these names pin the posix
# thread model (std::thread, std::mutex), whatever update-alternatives says.
bin=$WORK/bin
mkdir -p "$bin"
for tool in gcc g++; do
  printf '#!/bin/sh\nexec /usr/bin/%s-%s-posix "$@"\n' $triplet $tool > "$bin/$triplet-$tool"
  chmod +x "$bin/$triplet-$tool"
done
export PATH=$bin:$PATH

say "Qt: configure, build, install into $PREFIX"
# Only what a Widgets program needs. Debian's source lacks wintab (non-free),
# hence no tablet events; no OpenGL, D-Bus, ICU, OpenSSL, network or SQL.
qt_configure=(
  -prefix "$PREFIX" -platform linux-g++ -xplatform win32-g++ -device-option CROSS_COMPILE=$triplet-
  -opensource -confirm-license -release -static -strip
  -make libs -nomake tools -nomake examples -nomake tests
  -no-opengl -no-vulkan -no-dbus -no-icu -no-openssl -no-direct2d
  -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib
  -no-feature-concurrent -no-feature-printer -no-feature-tabletevent
  -qt-zlib -qt-libpng -no-libjpeg -no-gif -no-ico -qt-pcre -qt-harfbuzz -qt-freetype
)
qt_build=$WORK/qt-build
if [ "$(cat "$qt_build/.configured" 2>/dev/null)" != "${qt_configure[*]}" ]; then
  rm -rf "$qt_build"
  mkdir -p "$qt_build"
  (cd "$qt_build" && "$qt_dir/configure" "${qt_configure[@]}")
  echo "${qt_configure[*]}" > "$qt_build/.configured"
fi
make -C "$qt_build" -j"$JOBS"
# The prefix holds exactly this build: emptied first, if it is one of ours.
if [ -n "$(ls -A "$PREFIX" 2>/dev/null)" ] && [ ! -f "$PREFIX/.tessarine-qt-win64" ]; then
  echo "build-qt-win64: $PREFIX holds something else; remove it or set PREFIX" >&2
  exit 1
fi
"${sudo[@]}" rm -rf "$PREFIX"
"${sudo[@]}" mkdir -p "$PREFIX"
"${sudo[@]}" touch "$PREFIX/.tessarine-qt-win64"
"${sudo[@]}" env PATH="$PATH" make -C "$qt_build" install

say "RtMidi"
cat > "$WORK/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
set(CMAKE_CXX_COMPILER $triplet-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet $PREFIX)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
# No package registry entry: other projects would find this build folder.
rtmidi_cmake=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib
              -DBUILD_SHARED_LIBS=OFF -DRTMIDI_API_WINMM=ON -DRTMIDI_API_JACK=OFF -DRTMIDI_BUILD_TESTING=OFF
              -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON)
cmake -S "$rtmidi_dir" -B "$WORK/rtmidi-build" -DCMAKE_TOOLCHAIN_FILE="$WORK/toolchain.cmake" "${rtmidi_cmake[@]}"
cmake --build "$WORK/rtmidi-build" -j "$JOBS"
"${sudo[@]}" cmake --install "$WORK/rtmidi-build"

say "BUILDINFO and the tarball"
# make-win64-zip.sh reads the source versions from BUILDINFO for the zip's
# licence texts: keep its "Debian sources:" line as it is.
{
  echo "Static Qt $qt_version (qtbase) and RtMidi ${rtmidi_deb%-*} for $triplet, made by packaging/windows/build-qt-win64.sh"
  echo "Date:            $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
  echo "Build host:      Debian $(cat /etc/debian_version), $(uname -m)"
  echo "Debian sources:  $qt_src $qt_deb, $rtmidi_src $rtmidi_deb (apt-get source, Debian patches applied)"
  echo "Target compiler: $($triplet-g++ --version | head -n1) ($(dpkg-query -W -f='${Package} ${Version}' g++-mingw-w64-x86-64-posix))"
  echo "Prefix:          $PREFIX"
  echo "Qt configure:    configure ${qt_configure[*]}"
  echo "RtMidi CMake:    cmake ${rtmidi_cmake[*]}"
} | "${sudo[@]}" tee "$PREFIX/BUILDINFO"
tar -C "$(dirname "$PREFIX")" --sort=name --owner=0 --group=0 --numeric-owner -cJf "$outdir/qt5-win64-static-$qt_version.tar.xz" \
    "$(basename "$PREFIX")"
say "done: $outdir/qt5-win64-static-$qt_version.tar.xz"
