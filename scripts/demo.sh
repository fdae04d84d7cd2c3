#!/usr/bin/env bash
# Builds the programs, writes the sample NTFS volume, maps it as drive E and lists the
# deleted files under its folder E:\docs with tarnwick. Needs no root once the packages are in.
# KAVEL_JOBS sets the build's parallel jobs (default: the processor count).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KAVEL_JOBS:-$(nproc 2>/dev/null || echo 4)}

bash scripts/install-deps.sh
echo "demo.sh: building tarnwick and make_sample_volume"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target tarnwick make_sample_volume >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
./build/bin/make_sample_volume "$work/sample.img"
export KAVEL_DRIVES="E=$work/sample.img"
echo
echo "demo.sh: sample volume mapped as drive E; running: tarnwick 'E:\\docs'"
echo
./build/bin/tarnwick 'E:\docs'
