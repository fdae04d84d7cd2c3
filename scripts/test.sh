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

# How many tests of each ctest run in this script skipped, and why (gtest's skip messages in
# ctest's log), printed when the script ends, passed or not.
tested=()
skip_summary() {
  local dir log
  for dir in "${tested[@]}"; do
    log=$dir/Testing/Temporary/LastTest.log
    [ -f "$log" ] || continue
    awk -v dir="$dir" '
      /^\[ RUN      \] / { name = $NF; if (!in_skip) reason = ""; next }
      /: Skipped$/ { in_skip = 1; reason = ""; next }
      in_skip && /^\[  SKIPPED \] / {
        if (!(name in seen)) { seen[name] = 1; total++; count[reason == "" ? "(no reason given)" : reason]++ }
        in_skip = 0; next
      }
      in_skip && NF { reason = (reason == "" ? $0 : reason " " $0) }
      END {
        printf "== skipped in %s: %d test%s\n", dir, total, (total == 1 ? "" : "s")
        fflush()
        for (r in count) printf "%6d  %s\n", count[r], r | "sort -rn"
      }' "$log"
  done
}
trap skip_summary EXIT

# The volumes that real file systems wrote, made once per build folder. When this machine can
# make them (root, /dev/fuse, a loop device) they must be made; otherwise the tests that need
# them skip with the reason.
export KAVEL_REAL_VOLUMES="${KAVEL_REAL_VOLUMES:-$root/build/real-volumes}"
volumes_status=0
bash scripts/real-volumes.sh "$KAVEL_REAL_VOLUMES" || volumes_status=$?
case $volumes_status in
  0) ;;
  3) echo "test.sh: this machine cannot make the real volumes; the tests that need them skip" ;;
  *) echo "test.sh: FAILED: the real volumes could be made here but were not"; exit 1 ;;
esac

echo "== tests"
tested+=("$root/build")
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKAVEL_SANITIZE=address,undefined -DKAVEL_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
tested+=("$root/build-asan")
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

# Tests of the threaded code also run under ThreadSanitizer (names listed in scripts/tsan-tests).
if [ -s scripts/tsan-tests ]; then
  echo "== threaded tests under ThreadSanitizer"
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKAVEL_SANITIZE=thread -DKAVEL_BENCH=OFF >/dev/null
  cmake --build build-tsan -j "$jobs"
  tested+=("$root/build-tsan")
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
    -R "$(grep -v '^#' scripts/tsan-tests | paste -sd'|')"
fi

echo "== fuzz targets"
bash scripts/fuzz.sh 5
echo "test.sh: all passed"
