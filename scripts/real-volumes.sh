#!/usr/bin/env bash
# scripts/real-volumes.sh OUTDIR: makes the volumes that real file-system drivers wrote
# (../shared/tools/make-real-volumes.sh) into OUTDIR unless they are already there.
# Exits non-zero with a reason when this machine cannot make them.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: real-volumes.sh OUTDIR}
maker=../shared/tools/make-real-volumes.sh
want=(ntfs-small fat32 fat16 exfat ntfs-large)
missing=()
for v in "${want[@]}"; do
  [ -f "$out/$v.img" ] || missing+=("$v")
done
[ ${#missing[@]} -eq 0 ] && exit 0
[ -f "$maker" ] || { echo "real-volumes.sh: $maker not found"; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "real-volumes.sh: needs root"; exit 1; }
[ -e /dev/fuse ] || { echo "real-volumes.sh: needs /dev/fuse"; exit 1; }
mkdir -p "$out"
echo "real-volumes.sh: making ${missing[*]} in $out"
bash "$maker" "$out" "${missing[@]}" >"$out/make.log" 2>&1 || { tail -20 "$out/make.log"; exit 1; }
