#!/usr/bin/env bash
# Builds the programs, writes the sample NTFS volume, maps it as drive E and lists the
# deleted files under one of its folders with tarnwick.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target tarnwick

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! cmake --build build -j "$jobs" --target make_sample_volume >/dev/null 2>&1; then
  echo "demo.sh: the sample volume builder is not part of this build yet"
  ./build/bin/tarnwick
  exit 0
fi
./build/bin/make_sample_volume "$work/sample.img"
export KAVEL_DRIVES="E=$work/sample.img"
echo "demo.sh: sample volume mapped as drive E ($work/sample.img)"
./build/bin/tarnwick 'E:\docs'
