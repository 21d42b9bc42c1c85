#!/usr/bin/env bash
# See the uploader work, from a fresh Debian 12 machine: installs what it
# needs, builds the uploader, the simulated instrument and the sample file
# tool into build/demo, writes a sample update file, starts a simulated
# instrument (tessarine-sim, firmware 1.0.0) and installs the file (1.1.0)
# into it.
#
# With a display ($DISPLAY or $WAYLAND_DISPLAY set), you drive the uploader
# yourself, following the steps printed. Without one, the update runs on a
# virtual display of its own (Xvfb), driven with real mouse clicks and key
# presses by the test driver (tests/tsudrive); each step is printed, a screenshot of
# the main window at 100% is saved, and the instrument's log is checked
# against the file. Exit status 0 when all went well.
#
# Where the machine has no ALSA sequencer (/dev/snd/seq), MIDI goes through a
# private JACK server (dummy backend) that this script starts and stops. The
# headless run always does, so that the port list shows the instrument alone.
#
# Environment: TSU_DEMO_TIMEOUT  seconds to wait for each step (default 60)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/demo
timeout=${TSU_DEMO_TIMEOUT:-60}
jack_name=tsu-demo
new_version=1.1.0
old_version=1.0.0

jack_pid=
sim_pid=
driver_pid=

say() { printf '\n== %s\n' "$*"; }
fail() { printf '\ndemo failed: %s\n' "$*" >&2; exit 1; }

# Ends a process of ours: SIGTERM, then SIGKILL if it is still there after
# the given number of seconds.
stop_process() {
  local pid=$1 patience=$2 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < patience * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$driver_pid" ]; then stop_process "$driver_pid" 15; fi
  if [ -n "$sim_pid" ]; then stop_process "$sim_pid" 5; fi
  # JACK keeps a registry of server names that only a clean end clears: give
  # the server time to end on SIGTERM.
  if [ -n "$jack_pid" ]; then stop_process "$jack_pid" 30; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until the command succeeds; fails with the message after $timeout s.
wait_until() {
  local what=$1 i
  shift
  for ((i = 0; i < timeout * 10; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  fail "gave up after ${timeout} s waiting for $what"
}

say "Installing the Debian packages it needs (dev/install-deps.sh --demo)"
"$root/dev/install-deps.sh" --demo

say "Building into $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tessarine-uploader tessarine-sim make-tsu tsuprobe

uploader=$build/tessarine-uploader
sample=$build/sample-$new_version.tsu
instrument_log=$build/instrument.log
screenshot=$build/main-window-100.png
rm -f "$instrument_log" "$screenshot"

say "Writing a sample update file"
"$build/tools/make-tsu" "$sample" --version "$new_version" --messages 64 --length 256

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  headless=0
else
  headless=1
fi

if [ ! -e /dev/snd/seq ] || [ "$headless" = 1 ]; then
  say "Starting a private JACK server \"$jack_name\" (dummy backend)"
  if [ -e /dev/snd/seq ]; then
    # The uploader prefers ALSA where it exists; an empty ALSA configuration
    # hides it from both programs, so the list holds the instrument alone.
    export ALSA_CONFIG_PATH=/dev/null
  fi
  # The lock keeps two demos off one server name; the server holds it too.
  exec 9>"${TMPDIR:-/tmp}/$jack_name-jack.lock"
  flock -n 9 || fail "another demo is running, or its JACK server \"$jack_name\" still is"
  jackd -S -n "$jack_name" -d dummy -r 48000 -p 64 >"$build/jackd.log" 2>&1 &
  jack_pid=$!
  export JACK_DEFAULT_SERVER=$jack_name JACK_NO_START_SERVER=1
  jack_ready() {
    kill -0 "$jack_pid" 2>/dev/null || fail "jackd ended at start; see $build/jackd.log"
    jack_lsp -s "$jack_name" >/dev/null 2>&1
  }
  wait_until "the JACK server" jack_ready
fi

say "Starting the simulated instrument (firmware $old_version)"
"$build/tools/tessarine-sim" --version "$old_version" --log "$instrument_log" \
  >"$build/instrument.out" 2>"$build/instrument.err" 9>&- &
sim_pid=$!
sim_ready() {
  kill -0 "$sim_pid" 2>/dev/null || fail "tessarine-sim ended at start: $(tail -n 3 "$build/instrument.err")"
  grep -q '^ready ' "$build/instrument.out"
}
wait_until "the simulated instrument" sim_ready
port=$(sed -n 's/^ready //p' "$build/instrument.out" | head -n 1)
echo "its port: $port"

if [ "$headless" = 0 ]; then
  say "Your turn"
  cat <<EOF
The uploader opens now. In it:
  1. pick the port "$port" in the list, then click Ok;
  2. in the file dialog, open $sample
  3. answer Yes to "Replace ?" (the instrument has $old_version, the file $new_version);
  4. wait for 100%, close the "End" box, then click Exit.
EOF
  echo "(its messages go to $build/uploader.err)"
  status=0
  "$uploader" 9>&- 2>"$build/uploader.err" || status=$?
  echo "the uploader ended with exit code $status"
  # Stopped first, so that its log is complete.
  stop_process "$sim_pid" 5
  sim_pid=
  PYTHONPATH="$root/tests" python3 -m tsudrive compare --file "$sample" --instrument-log "$instrument_log" || true
  exit "$status"
fi

say "No display: running the update on a virtual display, driven as a user would"
# In the background, so that a signal to this script reaches its trap at once;
# the clean-up then ends the driver, which ends the display and the uploader.
PYTHONPATH="$root/tests" python3 -m tsudrive demo --uploader "$uploader" --file "$sample" \
  --instrument-log "$instrument_log" --port "$port" --screenshot "$screenshot" --timeout "$timeout" \
  --probe-dir "$build/tests/probe" 9>&- &
driver_pid=$!
status=0
wait "$driver_pid" || status=$?
driver_pid=
[ "$status" = 0 ] || fail "see the messages above; the instrument's log is $instrument_log"
say "Done: the screenshot of the main window at 100% is $screenshot"
