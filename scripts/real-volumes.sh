#!/usr/bin/env bash
# scripts/real-volumes.sh OUTDIR: makes the volumes that real file-system drivers wrote
# (scripts/make-real-volumes.sh) into OUTDIR unless they are already there.
# Exits 1 with a reason when making them failed, 3 when this machine cannot make them
# (no root, no /dev/fuse or no loop device).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: real-volumes.sh OUTDIR}
want=(ntfs-small fat32 fat16 exfat ntfs-large)
missing=()
for v in "${want[@]}"; do
  [ -f "$out/$v.img" ] || missing+=("$v")
done
[ ${#missing[@]} -eq 0 ] && exit 0
[ "$(id -u)" -eq 0 ] || { echo "real-volumes.sh: cannot make them here: needs root"; exit 3; }
[ -c /dev/fuse ] || { echo "real-volumes.sh: cannot make them here: needs /dev/fuse"; exit 3; }
losetup --find >/dev/null 2>&1 || { echo "real-volumes.sh: cannot make them here: no free loop device"; exit 3; }
mkdir -p "$out"
echo "real-volumes.sh: making ${missing[*]} in $out"
bash scripts/make-real-volumes.sh "$out" "${missing[@]}" >"$out/make.log" 2>&1 || { tail -20 "$out/make.log"; exit 1; }
for v in "${want[@]}"; do
  [ -f "$out/$v.img" ] || { echo "real-volumes.sh: $v.img was not made (see $out/make.log)"; exit 1; }
done
