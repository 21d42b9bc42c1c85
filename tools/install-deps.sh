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
  # the Windows resource script and every product source, compiled for Windows as a check
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev cpp g++-mingw-w64-x86-64-posix
  # the Debian package and the checks of what is installed
  dpkg-dev file lintian desktop-file-utils appstream
  # whole-program tests and the demonstration: a virtual display, driven as a user would
  xvfb xdotool x11-utils imagemagick fonts-dejavu-core
  # a real ALSA sequencer in a small virtual machine (tools/alsa-vm)
  qemu-system-x86 busybox-static alsa-utils cpio xz-utils kmod util-linux
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
