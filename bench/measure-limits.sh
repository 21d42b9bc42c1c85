#!/usr/bin/env bash
# What each MIDI service carries of one SysEx message: builds tsu_carry_limits
# (Release, into build/bench) and runs it. The method and the figures:
# docs/midi-services.md.
set -euo pipefail

# In the guest of tests/alsa-vm: --in-guest PROGRAM WINDOWS_SENDER WORK ARGS...
if [ "${1:-}" = --in-guest ]; then
  program=$2 exe=$3 work=$4
  shift 4
  winmm_args=()
  if [ -n "$exe" ]; then
    export WINEPREFIX=$work/prefix HOME=$work/home WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$HOME"
    trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
    if [ ! -d "$WINEPREFIX" ]; then
      start=$SECONDS
      /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
      echo "(Wine's prefix made in $((SECONDS - start)) s)"
    fi
    # Wine maps a program's pages from its file, which fails on the guest's
    # writable 9p share (the program dies at its first instruction): it runs
    # from a copy in the guest's own memory.
    cp "$exe" /tmp/tsu_carry_limits.exe
    winmm_args=(--winmm /tmp/tsu_carry_limits.exe)
  fi
  "$program" alsa --patience 5000 --settle 1000 "${winmm_args[@]}" "$@"
  exit
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$repo/build/bench"
jobs=2
run_jack=1
run_alsa=0
usb_midi=
winmm=1
qt=${TSU_WIN64_QT:-}
args=()

usage() {
  cat <<'EOF'
Usage: bench/measure-limits.sh [options]

Finds, by sending, the longest SysEx message (F0, data bytes, F7) that arrives
whole from RtMidi's output at a receiver, then confirms N (arrives) and N+1
(does not), says what the sender was told (RtMidi's error callback) and what
the receiver said, where the sender starts being told, what becomes of each
status byte inside a message, and of messages that do not start with F0.

  (no option)     JACK on this machine: private servers (jackd -S, dummy
                  backend, 48 kHz) at periods of 16, 64, 256 and 1024 frames;
                  RtMidiOut to an RtMidiIn, and a bare JACK client to it
  --alsa-vm       instead: the ALSA sequencer in the guest of tests/alsa-vm,
                  to a program's port (RtMidiIn) and to VirMIDI's port read
                  raw; with the sender's Windows build under Wine there
                  (Windows Multimedia over Wine's ALSA ports), where
                  mingw-w64 and a Windows RtMidi are at hand
  --usb-midi      instead: through the kernel's USB MIDI class driver
                  (snd-usb-audio) to a USB MIDI instrument in the same guest
                  (alsa-vm run --usb-midi), its bytes read raw at the
                  gadget's end of the cable
  --all           both
  --no-winmm      leave the Windows sender out
  --qt PREFIX     the Windows RtMidi's prefix or its .tar.xz (default
                  $TSU_WIN64_QT, /opt/qt5-win64-static, or
                  ../shared/win64/qt5-win64-static-5.15.8.tar.xz unpacked)
  --periods LIST  JACK periods in frames (default 16,64,256,1024)
  --repeat N      sends of a length before it counts as carried (default 3;
                  --alsa-vm: 5)
  --build-dir DIR build folder (default build/bench in the repository)
  --jobs N        build jobs (default 2)
  -h, --help      show this text

Takes about 2 minutes for JACK; in the emulated guest about 10 minutes for
ALSA and 14 more for Windows Multimedia (5 more the first time, for Wine's
prefix, kept in build/bench/limits); --usb-midi about 5 minutes.
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --alsa-vm) run_jack=0; run_alsa=1; shift ;;
    --all) run_jack=1; run_alsa=1; shift ;;
    --usb-midi) run_jack=0; run_alsa=1; winmm=0; usb_midi="Tessarine Test Instrument"; args+=(--usb-only); shift ;;
    --no-winmm) winmm=0; shift ;;
    --periods|--repeat)
      [ $# -ge 2 ] || { echo "measure-limits.sh: missing value for $1" >&2; exit 2; }
      args+=("$1" "$2"); shift 2 ;;
    --qt|--build-dir|--jobs)
      [ $# -ge 2 ] || { echo "measure-limits.sh: missing value for $1" >&2; exit 2; }
      case $1 in --qt) qt=$2 ;; --build-dir) build_dir=$2 ;; --jobs) jobs=$2 ;; esac
      shift 2 ;;
    *) echo "measure-limits.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
echo "== building (Release) in $build_dir" >&2
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTSU_BENCH=ON >/dev/null
fi
cmake --build "$build_dir" -j "$jobs" --target tsu_carry_limits >&2
program=$build_dir/bench/tsu_carry_limits

if [ "$run_jack" = 1 ]; then
  "$program" jack "${args[@]}"
fi

if [ "$run_alsa" = 1 ]; then
  work=$build_dir/limits
  mkdir -p "$work"
  windows_sender=
  triplet=x86_64-w64-mingw32
  if [ "$winmm" = 1 ]; then
    shared_tarball=$repo/../shared/win64/qt5-win64-static-5.15.8.tar.xz
    if [ -z "$qt" ]; then
      if [ -f /opt/qt5-win64-static/lib/librtmidi.a ]; then qt=/opt/qt5-win64-static
      elif [ -f "$shared_tarball" ]; then qt=$shared_tarball
      fi
    fi
    if [ -n "$qt" ] && [ -f "$qt" ]; then
      if [ ! -f "$work/qt/.unpacked" ]; then
        echo "== unpacking $qt into $work/qt" >&2
        rm -rf "$work/qt"
        mkdir -p "$work/qt"
        tar -C "$work/qt" -xJf "$qt"
        touch "$work/qt/.unpacked"
      fi
      qt=$(dirname "$(dirname "$(find "$work/qt" -name librtmidi.a | head -n 1)")")
    fi
    if ! command -v $triplet-g++-posix >/dev/null || ! command -v /usr/lib/wine/wine64 >/dev/null; then
      echo "== Windows Multimedia left out: $triplet-g++-posix or Wine (wine64) is missing (dev/install-deps.sh)" >&2
    elif [ -z "$qt" ] || [ ! -f "$qt/lib/librtmidi.a" ]; then
      echo "== Windows Multimedia left out: no RtMidi for Windows (--qt PREFIX, or packaging/windows/build-qt-win64.sh)" >&2
    else
      windows_sender=$build_dir/win64/tsu_carry_limits.exe
      mkdir -p "$(dirname "$windows_sender")"
      if [ ! -f "$windows_sender" ] || [ "$repo/bench/carry_limits.cpp" -nt "$windows_sender" ]; then
        echo "== building the sender for Windows with $triplet-g++-posix against $qt" >&2
        # One file that imports only Windows' own DLLs, as the uploader's
        # Windows build is; RtMidi's header is included as rtmidi/RtMidi.h.
        $triplet-g++-posix -std=c++17 -O2 -Wall -Wextra -static -pthread -I"$qt/include" -I"$repo/tools" \
          "$repo/bench/carry_limits.cpp" -L"$qt/lib" -lrtmidi -lwinmm -o "$windows_sender"
      fi
    fi
  fi
  "$repo/tests/alsa-vm/alsa-vm" setup
  vm_args=(--timeout 5400 --share "$work")
  [ -n "$usb_midi" ] && vm_args+=(--usb-midi "$usb_midi")
  # Wine's processes die at their start on QEMU's default "max" processor.
  [ -n "$windows_sender" ] && vm_args+=(--cpu qemu64 --memory 1024)
  echo "== the ALSA sequencer, in the guest of tests/alsa-vm${windows_sender:+, with the Windows sender under Wine}" >&2
  "$repo/tests/alsa-vm/alsa-vm" run "${vm_args[@]}" -- "$repo/bench/measure-limits.sh" --in-guest "$program" \
    "$windows_sender" "$work" --repeat 5 "${args[@]}"
fi
