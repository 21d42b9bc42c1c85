#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them: whole updates by the uploader
# next to the transport's floor, then the micro benchmarks.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$repo/build/bench"
jobs=2
compare_rev=""
compare_tree=""
run_updates=1
run_micro=1
alsa_vm=0
usb_midi=0
all=0
driver_args=()
# The USB MIDI instrument's product name, as its card and port are called.
usb_product="Tessarine Test Instrument"

usage() {
  cat <<'EOF'
Usage: bench/run-bench.sh [options]
Builds what the benchmarks need (Release, into build/bench) and runs them.

Whole updates (tsu_bench): on a private JACK server with the dummy backend, a
generated update file is sent by the uploader's own code (Updater and
MainWindow, offscreen) and by a minimal sender that answers each reply from its
MIDI callback (the floor), alternately, each run a child process against a
fresh tessarine-sim. Printed per run and as medians: update time, messages/s,
KiB/s, the instrument's reply-to-next-message time (median, p99, max), the
child's CPU seconds and peak memory, and the uploader/floor ratios.

  --size SIZE            update file size, K or M suffix (default 1M), sent as
                         a header message and SIZE/LENGTH data messages
  --message-length L     bytes per data message, F0 and F7 included (default 256)
  --repetitions N        runs of each side (default 5)
  --sizes LIST           a size scan instead of --size: SIZE[:N],... with N
                         repetitions for that size, e.g. 64K,1M,16M:1
                         (16 MiB takes over 2 minutes a run)
  --scan                 the same as --sizes 64K,1M,16M:1
  --period FRAMES        JACK period in frames (default 64, at 48000 Hz)
  --rate HZ              JACK sample rate (default 48000)
  --alsa-vm              the whole updates over a real ALSA sequencer, in the small
                         virtual machine of tests/alsa-vm (emulated where there is
                         no KVM: read the two sides against each other, not the
                         absolute figures); the micro benchmarks stay on this machine
  --usb-midi             the same, to a USB MIDI instrument in that guest, through
                         the kernel's class driver (snd-usb-audio) on dummy_hcd's
                         emulated bus (alsa-vm run --usb-midi)
  --all                  five runs in one go, from one build, each of 3 runs a side
                         and ending in one set of Markdown tables: JACK at 16 and
                         at 64 frames (1 MiB), the ALSA sequencer in the guest
                         (1 MiB), a USB MIDI instrument in the guest (1 MiB), and
                         a 5-pin cable's speed over JACK (64 KiB); --compare-*
                         sides join each (about 13 minutes with two)
  --wire-speed B         the simulated instrument takes as long to receive each
                         message as a cable of B bytes/s would (3125 for MIDI 1.0)
  --compare-updater REV  also run the uploader built with update/updater.cpp and
                         update/updater.h taken from git revision REV (built from
                         a copy of the tree under the build folder; the work
                         tree is not touched), e.g. 87a03f6
  --compare-tree REV     also run the uploader of git revision REV as a whole (its
                         tree, with this tree's bench/ laid over it), for a revision
                         whose update/updater.{h,cpp} no longer fit the rest, e.g.
                         d805c00
  --uploader LABEL=PATH  also run another build of tsu_bench_uploader (say, of
                         an experiment in a scratch copy of the tree); repeatable
  --keep                 keep the work folder with files, logs and traces
  --no-micro             skip the micro benchmarks
  --micro-only           run only the micro benchmarks
  --build-dir DIR        build folder (default build/bench in the repository)
  --jobs N               build jobs (default 2)
  -h, --help             show this text

Figures come from a shared machine: read medians, and compare sides of the
same run rather than runs of different days.
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --size|--message-length|--repetitions|--sizes|--period|--rate|--uploader|--wire-speed)
      [ $# -ge 2 ] || { echo "run-bench.sh: missing value for $1" >&2; exit 2; }
      driver_args+=("$1" "$2"); shift 2 ;;
    --scan) driver_args+=(--sizes 64K,1M,16M:1); shift ;;
    --keep) driver_args+=(--keep); shift ;;
    --alsa-vm) alsa_vm=1; driver_args+=(--alsa); shift ;;
    --usb-midi) alsa_vm=1; usb_midi=1; shift ;;
    --all) all=1; shift ;;
    --compare-updater)
      [ $# -ge 2 ] || { echo "run-bench.sh: missing value for $1" >&2; exit 2; }
      compare_rev=$2; shift 2 ;;
    --compare-tree)
      [ $# -ge 2 ] || { echo "run-bench.sh: missing value for $1" >&2; exit 2; }
      compare_tree=$2; shift 2 ;;
    --no-micro) run_micro=0; shift ;;
    --micro-only) run_updates=0; shift ;;
    --build-dir)
      [ $# -ge 2 ] || { echo "run-bench.sh: missing value for $1" >&2; exit 2; }
      build_dir=$2; shift 2 ;;
    --jobs)
      [ $# -ge 2 ] || { echo "run-bench.sh: missing value for $1" >&2; exit 2; }
      jobs=$2; shift 2 ;;
    *) echo "run-bench.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

configure() { # source build
  if [ ! -f "$2/CMakeCache.txt" ]; then
    cmake -S "$1" -B "$2" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTSU_BENCH=ON "${@:3}" >/dev/null
  fi
}

echo "== building (Release) in $build_dir" >&2
configure "$repo" "$build_dir"
targets=()
[ "$run_updates" = 1 ] && targets+=(tsu_bench)
[ "$run_micro" = 1 ] && targets+=(tsu_micro_bench)
[ ${#targets[@]} -gt 0 ] && cmake --build "$build_dir" -j "$jobs" --target "${targets[@]}" >&2

if [ -n "$compare_rev" ] && [ "$run_updates" = 1 ]; then
  rev=$(git -C "$repo" rev-parse --short "$compare_rev^{commit}")
  copy="$build_dir/updater-$rev"
  echo "== building the uploader with update/updater.{h,cpp} of $rev in $copy" >&2
  rm -rf "$copy/src"
  mkdir -p "$copy/src"
  # The work tree as it is (tracked and new files), then the two files of REV.
  # tar keeps the files' times, so a second build recompiles only what changed.
  git -C "$repo" ls-files -z --cached --others --exclude-standard \
    | (cd "$repo" && tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$copy/src" -xf -
  for f in update/updater.cpp update/updater.h; do
    git -C "$repo" show "$rev:$f" >"$copy/$(basename "$f").new"
    if ! cmp -s "$copy/$(basename "$f").new" "$copy/$(basename "$f")"; then
      mv "$copy/$(basename "$f").new" "$copy/$(basename "$f")"
    fi
    rm -f "$copy/$(basename "$f").new"
    cp -p "$copy/$(basename "$f")" "$copy/src/$f"
  done
  configure "$copy/src" "$copy/build" -DBUILD_TESTING=OFF
  cmake --build "$copy/build" -j "$jobs" --target tsu_bench_uploader >&2
  driver_args+=(--uploader "uploader@$rev=$copy/build/bench/tsu_bench_uploader")
fi

if [ -n "$compare_tree" ] && [ "$run_updates" = 1 ]; then
  rev=$(git -C "$repo" rev-parse --short "$compare_tree^{commit}")
  copy="$build_dir/tree-$rev"
  echo "== building the uploader of $rev, with this tree's bench/, in $copy" >&2
  # Unpacked once: a second run builds nothing. The bench folder is laid
  # anew each time, so that its children trace alike on every side.
  if [ ! -d "$copy/src" ]; then
    mkdir -p "$copy/src.new"
    git -C "$repo" archive "$rev" | tar -C "$copy/src.new" -xf -
    mv "$copy/src.new" "$copy/src"
  fi
  rm -rf "$copy/src/bench"
  cp -rp "$repo/bench" "$copy/src/bench"
  configure "$copy/src" "$copy/build" -DBUILD_TESTING=OFF
  cmake --build "$copy/build" -j "$jobs" --target tsu_bench_uploader >&2
  driver_args+=(--uploader "uploader@$rev=$copy/build/bench/tsu_bench_uploader")
fi

if [ "$run_updates" = 1 ] && [ "$all" = 1 ]; then
  tables=$(mktemp -d /tmp/tsu-bench-all-XXXXXX)
  md="$tables/tables.md"
  : >"$md"
  started=$(date +%s)
  # A failed run (a reply lost in a late JACK cycle leaves its side waiting
  # for good) costs that run, not the other transports' tables.
  failed=0
  echo "== 1 of 5: JACK, 16 frames"
  "$build_dir/bench/tsu_bench" "${driver_args[@]}" --period 16 --size 1M --repetitions 3 \
    --markdown "$md" --title "JACK, 16 frames (0.333 ms)" || failed=1
  echo; echo "== 2 of 5: JACK, 64 frames"
  "$build_dir/bench/tsu_bench" "${driver_args[@]}" --period 64 --size 1M --repetitions 3 \
    --markdown "$md" --title "JACK, 64 frames (1.333 ms)" || failed=1
  echo; echo "== 3 of 5: the ALSA sequencer, in the guest of tests/alsa-vm"
  "$repo/tests/alsa-vm/alsa-vm" setup
  "$repo/tests/alsa-vm/alsa-vm" run --timeout 3600 --share "$tables" -- "$build_dir/bench/tsu_bench" \
    "${driver_args[@]}" --alsa --size 1M --repetitions 3 --markdown "$md" \
    --title "ALSA sequencer, emulated guest" || failed=1
  echo; echo "== 4 of 5: a USB MIDI instrument, in the guest of tests/alsa-vm"
  "$repo/tests/alsa-vm/alsa-vm" run --timeout 3600 --share "$tables" --usb-midi "$usb_product" -- \
    "$build_dir/bench/tsu_bench" "${driver_args[@]}" --usb-midi "$usb_product" --size 1M --repetitions 3 \
    --markdown "$md" --title "USB MIDI through snd-usb-audio, dummy_hcd, emulated guest" || failed=1
  echo; echo "== 5 of 5: a 5-pin cable's speed over JACK"
  "$build_dir/bench/tsu_bench" "${driver_args[@]}" --period 64 --wire-speed 3125 --size 64K --repetitions 3 \
    --markdown "$md" --title "JACK, 64 frames, at a 5-pin cable's speed (3,125 bytes/s)" || failed=1
  echo
  echo "== the five, side by side ($(( $(date +%s) - started )) s, commit $(git -C "$repo" rev-parse --short HEAD))"
  echo
  cat "$md"
  rm -rf "$tables"
  [ "$failed" = 0 ] || { echo "run-bench.sh: a run failed: its table lacks it (see above)"; exit 1; }
elif [ "$run_updates" = 1 ] && [ "$usb_midi" = 1 ]; then
  echo "== whole updates to a USB MIDI instrument, in the guest of tests/alsa-vm: uploader and floor" >&2
  "$repo/tests/alsa-vm/alsa-vm" setup
  "$repo/tests/alsa-vm/alsa-vm" run --timeout 3600 --usb-midi "$usb_product" -- "$build_dir/bench/tsu_bench" \
    "${driver_args[@]}" --usb-midi "$usb_product"
elif [ "$run_updates" = 1 ] && [ "$alsa_vm" = 1 ]; then
  echo "== whole updates over ALSA, in the guest of tests/alsa-vm: uploader and floor" >&2
  "$repo/tests/alsa-vm/alsa-vm" setup
  # The guest's / is this machine's; the work folder lives and goes in it.
  "$repo/tests/alsa-vm/alsa-vm" run --timeout 3600 -- "$build_dir/bench/tsu_bench" "${driver_args[@]}"
elif [ "$run_updates" = 1 ]; then
  echo "== whole updates: uploader and floor" >&2
  "$build_dir/bench/tsu_bench" "${driver_args[@]}"
fi
if [ "$run_micro" = 1 ]; then
  echo
  echo "== micro benchmarks"
  "$build_dir/bench/tsu_micro_bench"
fi
