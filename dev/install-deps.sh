#!/usr/bin/env bash
# Installs the Debian packages that building, testing and demonstrating the
# uploader need. Safe to run again; needs root (or sudo).
#
#   dev/install-deps.sh          everything: the build, every test, the
#                                benchmarks, packaging, Windows and the ALSA guest
#   dev/install-deps.sh --demo   only what dev/demo.sh needs: the build, JACK,
#                                and a virtual display driven as a user would
set -euo pipefail

demo=(
  # the build: the uploader, the simulated instrument, the sample-file writer, the probe
  cmake ninja-build pkg-config g++ qtbase5-dev qtbase5-dev-tools librtmidi-dev
  # MIDI without a sound card: JACK with its dummy backend (jackd, jack_lsp)
  jackd2
  # the update on a virtual display, driven as a user would, and its screenshot
  python3 xvfb xdotool imagemagick fonts-dejavu-core
  # Calibri's metrics, for the port dialog's title (Debian has no Calibri)
  fonts-crosextra-carlito
)
rest=(
  # tests, fuzzing and benchmarks
  libjack-jackd2-dev libgtest-dev googletest libbenchmark-dev clang libclang-rt-14-dev
  # the program for Windows: cross-built, packed, its DLLs and resources read, run under Wine
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev g++-mingw-w64-x86-64-posix xz-utils zip icoutils wine64
  # the Debian package and the checks of what is installed
  dpkg-dev file lintian desktop-file-utils appstream
  # whole-program tests: the windows' properties
  x11-utils
  # the screen reader's view of the program: the AT-SPI bus, a client, a session bus
  at-spi2-core python3-pyatspi dbus-daemon
  # a real ALSA sequencer in a small virtual machine (tests/alsa-vm)
  qemu-system-x86 busybox-static alsa-utils cpio kmod util-linux
)

case "${1:-}" in
  --demo) packages=("${demo[@]}") ;;
  "") packages=("${demo[@]}" "${rest[@]}") ;;
  *) echo "usage: dev/install-deps.sh [--demo]" >&2; exit 2 ;;
esac

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
