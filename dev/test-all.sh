#!/usr/bin/env bash
# Sets everything up and runs every test: the plain build, the build with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

dev/install-deps.sh
# The small virtual machine with a real ALSA sequencer that the tests over
# ALSA run in: Debian's kernel, fetched and unpacked once (cached).
tests/alsa-vm/alsa-vm setup

echo "== plain build"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DTSU_BENCH=ON
cmake --build build/plain -j "$jobs"
ctest --test-dir build/plain -j "$jobs" --output-on-failure

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
# Listing the tests at build time runs the test programs too.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTSU_SANITIZE=ON -DBUILD_TESTING=ON -DTSU_BENCH=OFF
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize -j "$jobs" --output-on-failure
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

echo "== fuzz targets (libFuzzer, ASan, UBSan)"
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DTSU_FUZZ=ON -DTSU_FUZZ_SECONDS="${TSU_FUZZ_SECONDS:-30}"
cmake --build build/fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure
