#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] [TARGET...]: builds the libFuzzer targets with clang 19 (the first
# clang of this distribution whose C++23 mode takes libstdc++'s <expected>) and runs each
# for SECONDS (default 60) over a copy of its seed corpus tests/fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
jobs=$(nproc 2>/dev/null || echo 4)

CC=clang-19 CXX=clang++-19 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVEL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build-fuzz/fuzz_*; do
    [ -x "$f" ] && targets+=("$(basename "$f")")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets yet"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
  corpus="$work/$t"
  mkdir -p "$corpus"
  if [ -d "tests/fuzz/corpus/$t" ]; then cp -r "tests/fuzz/corpus/$t/." "$corpus/"; fi
  echo "fuzz.sh: $t for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 "build-fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -print_final_stats=0 "$corpus" 2>"$work/$t.log" || { tail -50 "$work/$t.log"; exit 1; }
done
