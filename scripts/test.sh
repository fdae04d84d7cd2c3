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

# Whether no user but root and this script's own may change where a folder path leads, as the
# service asks of a drive's path (README, "Drives"): every folder on it, as written and with its
# links resolved, belongs to one of them and is not writable by group or others unless sticky;
# every link on it belongs to one of them; from a sticky folder that group or others may add to,
# only a folder passes that no one else may write, sticky or not (no link, and not the folder
# itself, whose images would lie directly in it); a folder still to be made must come out so
# under the umask.
only_root_may_change() {
  local me dir parent resolved owner mode bits parent_bits leaf
  me=$(id -u)
  resolved=$(readlink -m -- "$1")
  for dir in "$1" "$resolved"; do
    leaf=1
    while :; do
      if [ -L "$dir" ]; then
        owner=$(stat -c '%u' -- "$dir")
        [ "$owner" -eq 0 ] || [ "$owner" -eq "$me" ] || return 1
      fi
      if [ -e "$dir" ]; then
        read -r owner mode < <(stat -L -c '%u %a' -- "$dir")
        bits=$((8#$mode))
        [ "$owner" -eq 0 ] || [ "$owner" -eq "$me" ] || return 1
        (( bits & 01000 )) || (( (bits & 022) == 0 )) || return 1
        (( leaf == 0 )) || (( (bits & 022) == 0 )) || return 1
      else
        (( (8#$(umask) & 022) == 022 )) || return 1
      fi
      [ "$dir" = / ] || [ "$dir" = . ] && break
      parent=$(dirname -- "$dir")
      if [ -e "$parent" ]; then
        parent_bits=$((8#$(stat -L -c '%a' -- "$parent")))
        if (( (parent_bits & 01000) && (parent_bits & 022) )); then
          [ ! -L "$dir" ] || return 1
          [ ! -e "$dir" ] || (( (bits & 022) == 0 )) || return 1
        fi
      fi
      leaf=0
      dir=$parent
    done
  done
}

# The volumes that real file systems wrote, made once per build folder. When this machine can
# make them (root, /dev/fuse, a loop device) they must be made; otherwise the tests that need
# them skip with the reason. The service suites map them as drives: where the checkout's own
# path is one that other users may change (a home folder, umask 002), the service would refuse
# them, so they are made in a folder of root's outside the checkout instead.
if [ -z "${KAVEL_REAL_VOLUMES:-}" ] && [ "$(id -u)" -eq 0 ] && ! only_root_may_change "$root/build/real-volumes"; then
  KAVEL_REAL_VOLUMES=/var/cache/kavel-tests/$(printf '%s' "$root" | sha256sum | cut -c1-16)/real-volumes
  install -d -m 0755 -o root -g root /var/cache/kavel-tests "$(dirname "$KAVEL_REAL_VOLUMES")" "$KAVEL_REAL_VOLUMES"
  only_root_may_change "$KAVEL_REAL_VOLUMES" || {
    echo "test.sh: FAILED: $KAVEL_REAL_VOLUMES is on a path that users other than root may change"
    exit 1
  }
  echo "test.sh: $root/build/real-volumes is on a path that users other than root may change, which the"
  echo "test.sh: service refuses to map; the real volumes are made in $KAVEL_REAL_VOLUMES instead"
fi
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
