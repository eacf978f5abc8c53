#!/usr/bin/env bash
# Builds vorn and runs every test: the suite in a normal build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, then each fuzz target briefly.
# Installs missing Debian packages first. Options (environment):
#   FUZZ_SECONDS  seconds per fuzz target (default 20)
#   JOBS          parallel jobs (default: number of cores)
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
media="$root/build/media"

tests/install_packages.sh tests/packages-demo.txt tests/packages.txt

step() { printf '\n==== %s\n' "$*"; }

step "normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TESTS=ON -DVORN_BENCH=ON \
  -DVORN_MEDIA_DIR="$media" >/dev/null
cmake --build build -j "$JOBS"
step "tests (normal build)"
ctest --test-dir build -j "$JOBS" --output-on-failure

step "sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON -DVORN_TESTS=ON -DVORN_BENCH=OFF \
  -DVORN_MEDIA_DIR="$media" >/dev/null
cmake --build build-asan -j "$JOBS"
step "tests (sanitizer build)"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan -j "$JOBS" --output-on-failure

step "fuzz targets (libFuzzer, ${FUZZ_SECONDS}s each)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j "$JOBS"
tests/fuzz/run_all.sh build-fuzz "$media" "$FUZZ_SECONDS"

step "all tests passed"
