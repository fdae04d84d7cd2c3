#!/usr/bin/env bash
# bench/compare_peers.sh [VOLUMES_DIR]
#
# tarnwick against its peers, warm page cache, the same machine and run, on two volumes:
#   1. ntfs-large.img of the real test volumes (VOLUMES_DIR, else $KAVEL_REAL_VOLUMES, else
#      build/real-volumes), folder E:\docs\2;
#   2. a builder-made volume of LARGE_RECORDS records (default 1,000,000; written once by
#      bench/large_volume_image into LARGE_DIR, default build/large-volume; LARGE_RECORDS=0
#      leaves it out), the same folder, half its deleted files right after the folder's record
#      and half near the MFT's end.
# On each:
#   - the whole program run: tarnwick 'E:\docs\2'
#   - the same folder scan without the designed waits of phase 5 (bench/folder_scan_bench)
#   - fls -r -d -p             every deleted name of the volume (the Sleuth Kit)
#   - fls -d FOLDER_RECORD     deleted names in the folder's own index
#   - ntfsundelete --scan      every deleted record of the volume (ntfs-3g; ntfs-large only)
# Each is run once to warm the cache, then RUNS times (default 5); the medians of wall time and
# of peak resident memory are printed with what each found. One more tarnwick run under
# strace counts its pread calls and the bytes they read. Then the ratios and the targets.
# KAVEL_JOBS sets the build's parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
volumes=${1:-${KAVEL_REAL_VOLUMES:-$root/build/real-volumes}}
image=$volumes/ntfs-large.img
manifest=$volumes/manifest-ntfs-large.tsv
runs=${RUNS:-5}
jobs=${KAVEL_JOBS:-$(nproc 2>/dev/null || echo 4)}
large_records=${LARGE_RECORDS:-1000000}
large_dir=${LARGE_DIR:-$root/build/large-volume}
designed_wait_ms=400

for f in "$image" "$manifest"; do
  [ -f "$f" ] || { echo "compare_peers.sh: $f missing (scripts/real-volumes.sh makes it)"; exit 1; }
done
for tool in fls ntfsundelete strace /usr/bin/time awk; do
  command -v "$tool" >/dev/null || { echo "compare_peers.sh: $tool missing (scripts/install-deps.sh)"; exit 1; }
done

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target tarnwick folder_scan_bench large_volume_image >/dev/null

folder_record=$(awk -F'\t' '$1 == "docs/2" { print $5 }' "$manifest")
[ -n "$folder_record" ] || { echo "compare_peers.sh: docs/2 not in $manifest"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KAVEL_REAL_VOLUMES="$volumes"

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# measure NAME COMMAND...: one warm-up run, then $runs timed runs. Wall time in ms (from the
# bench's own report for the in-process scan), peak resident memory in KiB, the last output kept.
measure() {
  local name=$1
  shift
  "$@" >"$work/$name.out" 2>&1
  : >"$work/$name.ms"
  : >"$work/$name.kib"
  for _ in $(seq "$runs"); do
    local start end
    start=$EPOCHREALTIME
    /usr/bin/time -f '%M' -o "$work/$name.mem" "$@" >"$work/$name.out" 2>&1
    end=$EPOCHREALTIME
    if [ "$name" = scan-no-waits ]; then
      # The scan's own time, without the benchmark program's start-up.
      awk -F': ' '/"real_time"/ { gsub(/[ ,]/, "", $2); printf "%.1f\n", $2; found = 1; exit }
                  END { if (!found) exit 1 }' "$work/bench.json" >>"$work/$name.ms" ||
        { echo "compare_peers.sh: the benchmark reported no time"; cat "$work/$name.out"; exit 1; }
    else
      awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f\n", (e - s) * 1000 }' >>"$work/$name.ms"
    fi
    tail -1 "$work/$name.mem" >>"$work/$name.kib"
  done
  median <"$work/$name.ms" >"$work/$name.median-ms"
  median <"$work/$name.kib" >"$work/$name.median-kib"
}

ms() { cat "$work/$1.median-ms"; }
mib() { awk '{ printf "%.1f", $1 / 1024 }' "$work/$1.median-kib"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
row() { printf '  %-52s %s\n' "$1" "$2"; }
status=0
# target TEXT OK: prints the target with its verdict (in this shell, so that a miss sets status).
target() { if [ "$2" = 1 ]; then echo "target: $1: met"; else echo "target: $1: MISSED"; status=1; fi; }

# compare LABEL IMAGE FOLDER_RECORD WITH_NTFSUNDELETE: runs everything on one image and prints
# its table; sets less_wait, preads, found_tarnwick.
compare() {
  local label=$1 img=$2 record=$3 with_undelete=$4
  export KAVEL_DRIVES="E=$img"
  export KAVEL_SCAN_IMAGE="$img"
  measure tarnwick ./build/bin/tarnwick 'E:\docs\2'
  measure scan-no-waits ./build/bench/folder_scan_bench --benchmark_filter=NoPhase5Waits \
    --benchmark_min_time=0.000001 --benchmark_out="$work/bench.json" --benchmark_out_format=json
  measure fls-r fls -r -d -p "$img"
  measure fls-folder fls -d "$img" "$record"
  [ "$with_undelete" = 1 ] && measure ntfsundelete ntfsundelete --scan "$img"
  strace -f -e trace=pread64 -o "$work/strace.txt" ./build/bin/tarnwick 'E:\docs\2' >/dev/null 2>&1
  preads=$(grep -c 'pread64(' "$work/strace.txt" || true)
  local pread_mib
  pread_mib=$(awk -F'= ' '/pread64\(/ { b += $NF } END { printf "%.1f", b / 1048576 }' "$work/strace.txt")

  found_tarnwick=$(grep -c '^  FRN ' "$work/tarnwick.out" || true)
  local found_bench found_fls_r found_fls_r_docs2 found_fls_folder mft_records audit
  found_bench=$(awk -F': ' '/"found"/ { gsub(/[ ,]/, "", $2); print $2 + 0; exit }' "$work/bench.json")
  found_fls_r=$(grep -c . "$work/fls-r.out" || true)
  found_fls_r_docs2=$(grep -c $'\tdocs/2/' "$work/fls-r.out" || true)
  found_fls_folder=$(grep -c . "$work/fls-folder.out" || true)
  istat "$img" 0 >"$work/istat.txt"
  mft_records=$(awk '/^Type: \$DATA \(128-/ { for (i = 1; i < NF; i++) if ($i == "size:") { print int($(i + 1) / 1024); exit } }' "$work/istat.txt")
  audit=$(grep -o 'cache-read=[0-9]*.*block[0-9]*/[0-9]*' "$work/tarnwick.out" | sed 's/ filtered-cross-dir=[0-9]*//' || true)

  echo "compare_peers: $label: $img, folder E:\\docs\\2 (record $record), median of $runs runs, warm cache"
  echo "  records in the MFT: $mft_records; tarnwick's audit: $audit"
  echo "  tarnwick's pread calls: $preads, $pread_mib MiB read"
  printf '%-42s %10s %10s  %s\n' "run" "ms" "peak MiB" "found"
  printf '%-42s %10s %10s  %s\n' "tarnwick 'E:\\docs\\2' (whole program)" "$(ms tarnwick)" "$(mib tarnwick)" \
    "$found_tarnwick deleted files"
  printf '%-42s %10s %10s  %s\n' "the same scan without phase-5 waits" "$(ms scan-no-waits)" "$(mib scan-no-waits)" \
    "$found_bench deleted files (peak: the benchmark program)"
  printf '%-42s %10s %10s  %s\n' "fls -r -d -p" "$(ms fls-r)" "$(mib fls-r)" \
    "$found_fls_r deleted names on the volume, $found_fls_r_docs2 under docs/2"
  printf '%-42s %10s %10s  %s\n' "fls -d $record" "$(ms fls-folder)" "$(mib fls-folder)" \
    "$found_fls_folder deleted names in the folder's index"
  if [ "$with_undelete" = 1 ]; then
    local found_ntfsundelete
    found_ntfsundelete=$(awk -F': ' '/potentially recoverable/ { print $2 }' "$work/ntfsundelete.out")
    printf '%-42s %10s %10s  %s\n' "ntfsundelete --scan" "$(ms ntfsundelete)" "$(mib ntfsundelete)" \
      "$found_ntfsundelete records with recoverable content (no folder)"
  fi
  less_wait=$(awk -v t="$(ms tarnwick)" -v w="$designed_wait_ms" 'BEGIN { printf "%.1f", t - w }')
  echo
  echo "ratios (time):"
  row "tarnwick whole / fls -r -d -p" "$(ratio "$(ms tarnwick)" "$(ms fls-r)")"
  row "tarnwick less ${designed_wait_ms} ms ($less_wait ms) / fls -r -d -p" "$(ratio "$less_wait" "$(ms fls-r)")"
  row "tarnwick less ${designed_wait_ms} ms / fls -d $record" "$(ratio "$less_wait" "$(ms fls-folder)")"
  row "scan without waits / fls -r -d -p" "$(ratio "$(ms scan-no-waits)" "$(ms fls-r)")"
  row "scan without waits / fls -d $record" "$(ratio "$(ms scan-no-waits)" "$(ms fls-folder)")"
  if [ "$with_undelete" = 1 ]; then
    row "scan without waits / ntfsundelete --scan" "$(ratio "$(ms scan-no-waits)" "$(ms ntfsundelete)")"
  fi
  echo "ratios (peak memory):"
  row "tarnwick / fls -r -d -p" "$(ratio "$(mib tarnwick)" "$(mib fls-r)")"
  row "tarnwick / fls -d $record" "$(ratio "$(mib tarnwick)" "$(mib fls-folder)")"
  echo
}

compare ntfs-large "$image" "$folder_record" 1
found_ok=$([ "$found_tarnwick" = 500 ] && echo 1 || echo 0)
pread_ok=$([ "$preads" -le 2000 ] && echo 1 || echo 0)
speed_ok=$(awk -v a="$less_wait" -v b="$(ms scan-no-waits)" -v r="$(ms fls-r)" -v d="$(ms fls-folder)" \
  'BEGIN { print (a <= 0.2 * r && b <= 0.2 * r && a <= d && b <= d) ? 1 : 0 }')
memory_ok=$(awk -v k="$(cat "$work/tarnwick.median-kib")" 'BEGIN { print (k < 64 * 1024) ? 1 : 0 }')
target "500 of 500 deleted files of docs/2 found" "$found_ok"
target "at most 2,000 pread calls ($preads)" "$pread_ok"
target "scan less the designed ${designed_wait_ms} ms at most 0.2 x fls -r -d -p and at most fls -d" "$speed_ok"
target "peak memory under 64 MiB" "$memory_ok"
echo

if [ "$large_records" != 0 ]; then
  mkdir -p "$large_dir"
  large_image=$large_dir/ntfs-$large_records.img
  large_record=$(./build/bench/large_volume_image "$large_image" "$large_records")
  compare "builder volume of $large_records records" "$large_image" "$large_record" 0
  large_ok=$(awk -v a="$less_wait" -v b="$(ms scan-no-waits)" -v d="$(ms fls-folder)" \
    'BEGIN { print (a <= d && b <= d) ? 1 : 0 }')
  target "$large_records records, scan less the designed ${designed_wait_ms} ms at most fls -d" "$large_ok"
  echo "        (found $found_tarnwick of 500, $preads pread calls)"
fi
exit $status
