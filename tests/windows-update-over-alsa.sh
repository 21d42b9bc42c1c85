#!/usr/bin/env bash
# The Windows program's real MIDI path: a whole update by tessarine-uploader.exe
# under Wine, through Wine's Windows Multimedia ports, which Wine takes from an
# ALSA sequencer, here the one in the guest of tests/alsa-vm. The simulated
# instrument is an ALSA client there; the program is used by the keyboard
# alone (Wine's windows take no probe), and the instrument's log is compared
# with the file at the end.
#
#   tests/windows-update-over-alsa.sh [--usb-midi] [BUILD]
#
# BUILD (default build) is a build folder with the Linux tools make-tsu and
# tessarine-sim in BUILD/tools and the Windows zip's folder in BUILD/win64:
# packaging/windows/make-win64-zip.sh writes build/win64, and a build with
# the Windows program (dev/test-all.sh's build/plain) has it too. From a fresh
# clone:
#
#   packaging/windows/make-win64-zip.sh
#   cmake -S . -B build -G Ninja && cmake --build build --target make-tsu tessarine-sim
#   tests/windows-update-over-alsa.sh build
#
# With --usb-midi the instrument is a USB MIDI device in the guest (alsa-vm
# run --usb-midi): tessarine-sim takes the gadget's end, and the port is
# picked among Windows Multimedia's by the device's name, as the kernel's
# class driver names it.
#
# Under emulation it takes about two minutes, and a first run half a minute
# more for the Wine prefix (kept in BUILD/win64/alsa). Screenshots of each
# step are left there too. Not part of the test run: too slow under emulation.
set -euo pipefail

usb_product="Tessarine Test Instrument"
if [ "${1:-}" != --in-guest ]; then
  usb=()
  if [ "${1:-}" = --usb-midi ]; then
    usb=(--usb-midi "$usb_product")
    shift
  fi
  root=$(cd "$(dirname "$0")/.." && pwd)
  build=$(cd "${1:-$root/build}" && pwd)
  exe=$(ls "$build"/win64/zip/tessarine-uploader-*-win64/tessarine-uploader.exe 2>/dev/null | head -n 1)
  [ -n "$exe" ] || { echo "no $build/win64/zip/tessarine-uploader-*-win64/tessarine-uploader.exe: run packaging/windows/make-win64-zip.sh first" >&2; exit 2; }
  for tool in make-tsu tessarine-sim; do
    [ -x "$build/tools/$tool" ] || { echo "no $build/tools/$tool: cmake --build $build --target make-tsu tessarine-sim" >&2; exit 2; }
  done
  work=$build/win64/alsa
  mkdir -p "$work"
  # Wine's processes die at their start on QEMU's "max" processor model.
  exec "$root/tests/alsa-vm/alsa-vm" run --cpu qemu64 --memory 1024 --timeout 600 --share "$work" "${usb[@]}" \
    "$root/tests/windows-update-over-alsa.sh" --in-guest "$root" "$build" "$exe" "$work" "${#usb[@]}"
fi

# In the guest.
root=$2 build=$3 exe=$4 work=$5 usb=${6:-0}
export WINEPREFIX=$work/prefix HOME=$work/home WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$HOME"
start=$(date +%s%N)
step() { echo "[$(( ($(date +%s%N) - start) / 1000000 )) ms] $*"; }
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

if [ ! -d "$WINEPREFIX" ]; then
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  step "Wine prefix made"
fi
file=$work/update.tsu
"$build/tools/make-tsu" "$file" --version 1.1.0 --messages 16 --length 256 >/dev/null
rm -f "$work/instrument.log" "$work"/*.png
sim_args=()
[ "$usb" = 0 ] || sim_args=(--connect f_midi:f_midi)
"$build/tools/tessarine-sim" --name "Tessarine Sim" "${sim_args[@]}" --version 1.0.0 --log "$work/instrument.log" \
  >"$work/sim.out" 2>&1 &
pids+=($!)
Xvfb :7 -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=:7
for _ in $(seq 100); do grep -q ready "$work/sim.out" && xdpyinfo >/dev/null 2>&1 && break; sleep 0.2; done
step "instrument: $(cat "$work/sim.out")"

/usr/lib/wine/wine64 "$exe" >"$work/uploader.out" 2>"$work/uploader.err" &
uploader=$!
pids+=("$uploader")
window() {
  local w
  for _ in $(seq 240); do
    w=$(xdotool search --name "^$1\$" 2>/dev/null | head -n 1)
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.5
  done
  step "gave up waiting for the window \"$1\""
  return 1
}
shot() { import -window root "$work/$1.png" 2>/dev/null || true; }
# Wine may name a window before it can take the keyboard (X says BadMatch):
# the key then goes where the program put the keyboard, as a user's would.
focus() { xdotool windowfocus --sync "$1" 2>/dev/null || true; }

dialog=$(window Dialog)
step "port dialog shown"
sleep 2
# Tab from Cancel into the list, its first row (Wine lists the instrument,
# a client of the user's, before the kernel's ports), Tab to Ok, Return.
focus "$dialog"
xdotool key Tab
sleep 0.5
xdotool key Home
sleep 0.5
if [ "$usb" != 0 ]; then
  # The USB device's row, found by its name as a user would type it; the
  # simulated instrument's own client is listed before it.
  xdotool type --delay 50 "$usb_product"
  sleep 0.5
fi
xdotool key Tab
sleep 0.5
shot port-dialog
xdotool key Return
files=$(window "Select file")
step "file dialog shown"
sleep 2
focus "$files"
xdotool type --delay 20 "Z:${file//\//\\}"
sleep 0.5
xdotool key Return
question=$(window "Updater message")
step "question shown"
sleep 1
shot question
focus "$question"
xdotool key alt+y
expected=$(PYTHONPATH="$root/tests" python3 -c "import sys, tsudrive; print(len(tsudrive.tsu_messages(sys.argv[1])))" "$file")
for _ in $(seq 600); do
  [ "$(wc -l <"$work/instrument.log")" -ge "$expected" ] && break
  sleep 0.5
done
step "the instrument has $(wc -l <"$work/instrument.log") messages"
sleep 3
shot end
xdotool key Return
sleep 2
# Space presses Exit, which has the keyboard once "End" is closed.
xdotool key space
code=0
wait "$uploader" || code=$?
step "the program ended with exit code $code"
PYTHONPATH="$root/tests" python3 -m tsudrive compare --file "$file" --instrument-log "$work/instrument.log"
