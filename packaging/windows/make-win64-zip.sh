#!/usr/bin/env bash
# Makes the uploader for 64-bit Windows, tessarine-uploader-VERSION-win64.zip:
# cross-built with mingw-w64 against a static Qt 5 and RtMidi for Windows, so
# that the program is one .exe importing only Windows' own DLLs, packed with
# its file checker (tsu-check.exe) and the read-me and licence texts a
# Windows user needs.
#
#   packaging/windows/make-win64-zip.sh [--qt PREFIX|TARBALL] [--build DIR]
#
# The Qt for Windows is, in this order: --qt, $TSU_WIN64_QT, the tarball in
# ../shared/win64 beside the repository, /opt/qt5-win64-static. A tarball is
# unpacked into DIR/qt (once per tarball). packaging/windows/build-qt-win64.sh makes one.
# DIR is build/win64 unless given; the zip is written there.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
qt=${TSU_WIN64_QT:-}
build=$root/build/win64
while [ $# -gt 0 ]; do
  case $1 in
    --qt) qt=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-win64-zip: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
say() { echo "make-win64-zip: $*" >&2; }

shared_tarball=$root/../shared/win64/qt5-win64-static-5.15.8.tar.xz
if [ -z "$qt" ]; then
  if [ -f "$shared_tarball" ]; then qt=$shared_tarball
  elif [ -d /opt/qt5-win64-static/lib/cmake/Qt5 ]; then qt=/opt/qt5-win64-static
  else
    say "no static Qt for Windows here: give --qt PREFIX, or make one with packaging/windows/build-qt-win64.sh (about 15 minutes on 2 cores)"
    exit 3
  fi
fi
triplet=x86_64-w64-mingw32
if ! command -v $triplet-g++-posix >/dev/null || ! command -v zip >/dev/null; then
  say "$triplet-g++-posix or zip is missing: run dev/install-deps.sh"
  exit 3
fi
mkdir -p "$build"
build=$(cd "$build" && pwd)

# A tarball is unpacked once; a changed tarball replaces what was unpacked.
if [ -f "$qt" ]; then
  tarball=$(cd "$(dirname "$qt")" && pwd)/$(basename "$qt")
  sum=$(sha256sum "$tarball" | cut -d' ' -f1)
  if [ "$(cat "$build/qt/.unpacked-from" 2>/dev/null)" != "$sum" ]; then
    say "unpacking $tarball into $build/qt"
    rm -rf "$build/qt"
    mkdir -p "$build/qt"
    tar -C "$build/qt" -xJf "$tarball"
    echo "$sum" > "$build/qt/.unpacked-from"
  fi
  qt=$(find "$build/qt" -mindepth 3 -maxdepth 3 -path '*/lib/cmake' -printf '%h\n' | head -n1)
  qt=${qt%/lib}
fi
if [ ! -d "$qt/lib/cmake/Qt5" ]; then
  say "$qt is no Qt prefix (it has no lib/cmake/Qt5)"
  exit 3
fi
qt=$(cd "$qt" && pwd)

cmake -S "$root" -B "$build/cross" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/packaging/windows/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$qt" \
      -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build/cross" -j "${JOBS:-2}" --target tessarine-uploader tsu-check

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/cross/CMakeCache.txt")
name=tessarine-uploader-$version-win64
zipfile=$build/$name.zip
exe=$build/cross/tessarine-uploader.exe
checker=$build/cross/tools/tsu-check.exe
if [ -f "$zipfile" ] && [ "$zipfile" -nt "$exe" ] && [ "$zipfile" -nt "$checker" ] && [ "$zipfile" -nt "$0" ] &&
   [ -z "$(find "$root/packaging/windows" -newer "$zipfile")" ]; then
  say "$zipfile is up to date"
  exit 0
fi

# What went into the Qt prefix, for the texts: its BUILDINFO names the Debian
# source packages it was built from.
buildinfo=$qt/BUILDINFO
qt_version=$(sed -n 's/^set(PACKAGE_VERSION "\{0,1\}\([0-9.]*\)"\{0,1\})$/\1/p' "$qt/lib/cmake/Qt5Core/Qt5CoreConfigVersion.cmake")
qt_deb=$(sed -n 's/.*qtbase-opensource-src \([^ ,]*\).*/\1/p' "$buildinfo" 2>/dev/null | head -n1)
rtmidi_deb=$(sed -n 's/.*, rtmidi \([^ ,]*\).*/\1/p' "$buildinfo" 2>/dev/null | head -n1)
if [ -z "$qt_version" ] || [ -z "$qt_deb" ] || [ -z "$rtmidi_deb" ]; then
  say "cannot tell Qt's version, or the Debian source packages Qt and RtMidi were built from ($buildinfo)"
  exit 3
fi

stage=$build/zip/$name
rm -rf "$build/zip"
mkdir -p "$stage/third-party" "$stage/qt-build"
$triplet-strip -o "$stage/tessarine-uploader.exe" "$exe"
$triplet-strip -o "$stage/tsu-check.exe" "$checker"
for text in README.txt LICENSES.txt; do
  # Windows' editors want CRLF line ends.
  sed -e "s/@VERSION@/$version/g" -e "s/@QT_VERSION@/$qt_version/g" -e "s/@RTMIDI_VERSION@/${rtmidi_deb%-*}/g" \
      -e "s/@QT_DEB_VERSION@/$qt_deb/g" -e "s/@RTMIDI_DEB_VERSION@/$rtmidi_deb/g" -e 's/$/\r/' \
      "$root/packaging/windows/$text" > "$stage/$text"
done
# The licence texts and notices, as Debian ships them with the same sources.
third_party=(
  /usr/share/common-licenses/LGPL-3:LGPL-3.txt
  /usr/share/common-licenses/GPL-3:GPL-3.txt
  /usr/share/doc/libqt5core5a/copyright:Qt-copyright.txt
  /usr/share/doc/librtmidi6/copyright:RtMidi-copyright.txt
  /usr/share/doc/mingw-w64-x86-64-dev/copyright:mingw-w64-copyright.txt
  /usr/share/doc/gcc-mingw-w64-base/copyright:GCC-runtime-copyright.txt
)
for pair in "${third_party[@]}"; do
  if [ ! -f "${pair%%:*}" ]; then
    say "${pair%%:*} is missing: run dev/install-deps.sh"
    exit 3
  fi
  sed 's/$/\r/' "${pair%%:*}" > "$stage/third-party/${pair#*:}"
done
cp "$root/packaging/windows/build-qt-win64.sh" "$stage/qt-build/build-qt-win64.sh"
sed 's/$/\r/' "$buildinfo" > "$stage/qt-build/BUILDINFO.txt"

rm -f "$zipfile"
(cd "$build/zip" && zip -q -X -r -9 "$zipfile.part" "$name")
mv "$zipfile.part" "$zipfile"
say "$zipfile: $(du -k "$zipfile" | cut -f1) KiB, the program $(du -k "$stage/tessarine-uploader.exe" | cut -f1) KiB"
