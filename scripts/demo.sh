#!/usr/bin/env bash
# Builds the programs, writes the sample NTFS volume, maps it as drive E and lists the
# deleted files under its folder E:\docs with tarnwick. Then starts PolvaneService in console
# mode on a socket in a temporary folder, exports one deleted file that the scan listed by its
# file record number (export_ntfs_frn, through the small client polvane_export) into
# build/demo-export, prints the exported file's path, size and SHA-256, and stops the service.
# Needs no root once the packages are in. KAVEL_JOBS sets the build's parallel jobs (default: the processor count).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KAVEL_JOBS:-$(nproc 2>/dev/null || echo 4)}

bash scripts/install-deps.sh
echo "demo.sh: building tarnwick, PolvaneService, polvane_export and make_sample_volume"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target tarnwick PolvaneService polvane_export make_sample_volume >/dev/null

work=$(mktemp -d)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
./build/bin/make_sample_volume "$work/sample.img"
export KAVEL_DRIVES="E=$work/sample.img"
echo
echo "demo.sh: sample volume mapped as drive E; running: tarnwick 'E:\\docs'"
echo
./build/bin/tarnwick 'E:\docs' | tee "$work/report.txt"

# The first file of the report's list whose size the scan knows: "  FRN <n> parent <p> size <s> ...".
frn=$(awk '/^  FRN [0-9]+ parent [0-9]+ size [1-9]/ { print $2; exit }' "$work/report.txt")
if [ -z "$frn" ]; then
  echo "demo.sh: the scan listed no deleted file with a known size to export" >&2
  exit 1
fi
listed=$(awk -v frn="$frn" '$1 == "FRN" && $2 == frn { sub(/^.* [A-Z]:\\/, ""); print; exit }' "$work/report.txt")
name=${listed##*\\}

echo
echo "demo.sh: starting PolvaneService --elevated-console on a socket in $work/pipe"
export KAVEL_PIPE_DIR="$work/pipe"
export XDG_DATA_HOME="$work/data"  # the service's log goes to $XDG_DATA_HOME/Polvane/log/app.log
./build/bin/PolvaneService --elevated-console >"$work/service.out" 2>&1 &
service_pid=$!
for _ in $(seq 1 100); do
  [ -S "$KAVEL_PIPE_DIR/PolvaneService" ] && break
  sleep 0.1
done
if [ ! -S "$KAVEL_PIPE_DIR/PolvaneService" ]; then
  echo "demo.sh: the service did not start:" >&2
  cat "$work/service.out" >&2
  exit 1
fi
sed 's/^/  service: /' "$work/service.out"

echo
echo "demo.sh: exporting record $frn (E:\\$listed) through the service: polvane_export E $frn <destination>"
echo
./build/bin/polvane_export E "$frn" "$PWD/build/demo-export/$name"

echo
echo "demo.sh: stopping the service"
kill "$service_pid"
wait "$service_pid" 2>/dev/null || true
service_pid=""
