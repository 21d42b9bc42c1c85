#!/usr/bin/env bash
# Installs every Debian package that building, testing and demonstrating the
# uploader needs. Safe to run again; needs root (or sudo).
set -euo pipefail

packages=(
  # build
  cmake ninja-build pkg-config g++ qtbase5-dev qtbase5-dev-tools librtmidi-dev
  # MIDI service without a sound card: JACK with its dummy backend
  jackd2 libjack-jackd2-dev
  # tests, fuzzing and benchmarks
  libgtest-dev googletest libbenchmark-dev clang libclang-rt-14-dev python3
  # the program for Windows: cross-built, packed, its DLLs and resources read, run under Wine
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev g++-mingw-w64-x86-64-posix xz-utils zip icoutils wine64
  # the Debian package and the checks of what is installed
  dpkg-dev file lintian desktop-file-utils appstream
  # whole-program tests and the demonstration: a virtual display, driven as a user would
  xvfb xdotool x11-utils imagemagick fonts-dejavu-core
  # the screen reader's view of the program: the AT-SPI bus, a client, a session bus
  at-spi2-core python3-pyatspi dbus-daemon
  # Calibri's metrics, for the port dialog's title (Debian has no Calibri)
  fonts-crosextra-carlito
  # a real ALSA sequencer in a small virtual machine (tools/alsa-vm)
  qemu-system-x86 busybox-static alsa-utils cpio kmod util-linux
)

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
