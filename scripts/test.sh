#!/usr/bin/env bash
# Builds and runs every test: the normal build, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, and each fuzz target
# for a few seconds over its seed corpus. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 4)

bash scripts/install-deps.sh

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"

# The volumes that real file systems wrote, made once per build folder. Tests that need them
# skip with a reason when this machine cannot make them (no root, FUSE or loop device).
export KAVEL_REAL_VOLUMES="${KAVEL_REAL_VOLUMES:-$root/build/real-volumes}"
bash scripts/real-volumes.sh "$KAVEL_REAL_VOLUMES" || echo "test.sh: real volumes not made; the tests that need them will skip"

echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKAVEL_SANITIZE=address,undefined -DKAVEL_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

# Tests of the threaded code also run under ThreadSanitizer (names listed in scripts/tsan-tests).
if [ -s scripts/tsan-tests ]; then
  echo "== threaded tests under ThreadSanitizer"
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKAVEL_SANITIZE=thread -DKAVEL_BENCH=OFF >/dev/null
  cmake --build build-tsan -j "$jobs"
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
    -R "$(grep -v '^#' scripts/tsan-tests | paste -sd'|')"
fi

echo "== fuzz targets"
bash scripts/fuzz.sh 5
echo "test.sh: all passed"
