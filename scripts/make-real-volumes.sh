#!/usr/bin/env bash
# scripts/make-real-volumes.sh OUTDIR [ntfs-small fat32 fat16 exfat ntfs-large]
#
# Makes test volumes whose files the real file-system drivers wrote and deleted, each with a
# manifest of what it held before the deletions (columns and meaning: scripts/real_volumes.py):
#   ntfs-small.img  manifest-ntfs.tsv        64 MiB NTFS, 4 KiB clusters, written through ntfs-3g
#   fat32.img       manifest-fat32.tsv       64 MiB FAT32, written with mtools
#   fat16.img       manifest-fat16.tsv       32 MiB FAT16, written with mtools
#   exfat.img       manifest-exfat.tsv       64 MiB exFAT, written through exfat-fuse on a loop device
#   ntfs-large.img  manifest-ntfs-large.tsv  1 GiB NTFS, 100,000 files in 3,053 folders, ~10% deleted
# The small volumes hold the same tree (target folder docs/2: resident and non-resident files,
# a fragmented deleted file, a Unicode name, a live sub/ and a deleted gone/deeper/); the
# large one holds tree/gNN/dNN plus 1,000 files in docs/2, half of them deleted. Contents, tree
# and deleted set are fixed and every step runs in a fixed order, so record numbers and
# clusters come out the same on every run.
# Needs root, /dev/fuse and a loop device, and the packages of scripts/install-deps.sh.
set -Eeuo pipefail

here=$(cd "$(dirname "$0")" && pwd)
helper=$here/real_volumes.py
[ $# -ge 1 ] || { echo "usage: $0 OUTDIR [ntfs-small fat32 fat16 exfat ntfs-large]" >&2; exit 2; }
out=$(realpath -m "$1")
shift
volumes=("$@")
[ ${#volumes[@]} -gt 0 ] || volumes=(ntfs-small fat32 fat16 exfat ntfs-large)
export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1

work=$(mktemp -d "${TMPDIR:-/tmp}/kavel-volumes.XXXXXX")
mkdir -p "$out"
building=()      # image and manifest of the volume being made, removed if it fails
mounts=()        # "mountpoint pid [loop device]" of every mount still up

say() { printf '[%s] %s\n' "$(date -u +%H:%M:%S)" "$*" >&2; }

# ---- mounts: each FUSE driver runs in the foreground as our child, so after umount we wait
# for it to exit, i.e. until it has written everything back and closed the image.
mount_volume() {  # ntfs|exfat IMAGE MOUNTPOINT
  local kind=$1 image=$2 dir=$3 pid loop="" tries
  mkdir -p "$dir"
  if [ "$kind" = ntfs ]; then
    ntfs-3g -o no_detach "$image" "$dir" >>"$work/drivers.log" 2>&1 &
    pid=$!
  else
    loop=$(losetup --find --show "$image")
    mount.exfat-fuse -d "$loop" "$dir" >>"$work/drivers.log" 2>&1 &
    pid=$!
  fi
  mounts+=("$dir $pid $loop")
  for tries in $(seq 400); do
    mountpoint -q "$dir" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.025
  done
  tail -n 5 "$work/drivers.log" >&2
  echo "make-real-volumes: cannot mount $image" >&2
  return 1
}

unmount_volume() {  # MOUNTPOINT
  local entry dir pid loop rest=()
  for entry in "${mounts[@]}"; do
    read -r dir pid loop <<<"$entry"
    if [ "$dir" != "$1" ]; then rest+=("$entry"); continue; fi
    sync
    umount "$dir"
    wait "$pid" || true
    [ -z "$loop" ] || losetup -d "$loop"
    rmdir "$dir"
  done
  mounts=("${rest[@]}")
}

finish() {
  local status=$? entry dir pid loop
  set +e
  for entry in "${mounts[@]}"; do
    read -r dir pid loop <<<"$entry"
    umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ -z "$loop" ] || losetup -d "$loop"
  done
  if [ "$status" -ne 0 ] && [ ${#building[@]} -gt 0 ]; then
    echo "make-real-volumes: failed while making ${building[0]}; its partial files were removed" >&2
    rm -f "${building[@]}"
  fi
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

# The small volumes' tree on local disk, written once (mtools copies from it, the mounts too).
src=$work/src
staged() {
  [ -d "$src" ] || python3 "$helper" stage "$src"
}
each() { python3 "$helper" layout "$1"; }  # dirs | files | deleted-files
sha() { sha256sum "$1" | cut -d' ' -f1; }
elapsed_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
made() { say "$1 made in $(elapsed_since "$2") s"; printf '%s\t%s\n' "$1" "$(elapsed_since "$2")" >>"$out/build-times.tsv"; }

# Writes the small tree onto a mounted volume: folders, then ten 2-cluster scratch files; frees
# every other one (after the free space was filled on NTFS, whose allocator would otherwise
# look past the holes) so that the fragmented file lands in the five holes; then the rest.
# EARLY gets path, type, size, sha256 and inode of the files deleted on the way.
fill_mounted() {  # ntfs|exfat MOUNTPOINT EARLY
  local kind=$1 m=$2 early=$3 rel i fill size
  : >"$early"
  while IFS= read -r rel; do mkdir -p "$m/$rel"; done < <(each dirs)
  mkdir "$m/scratch"
  # On NTFS the fragmented file gets its record before the scratch files.
  [ "$kind" != ntfs ] || : >"$m/docs/2/fragmented-deleted.bin"
  for i in 0 1 2 3 4 5 6 7 8 9; do cp "$src/scratch/h$i" "$m/scratch/h$i"; done
  sync
  if [ "$kind" = ntfs ]; then
    fill=$m/scratch/fill.bin
    dd if=/dev/zero of="$fill" bs=1M status=none 2>/dev/null || true  # runs until the volume is full
    size=$(stat -c %s "$fill")
    printf 'scratch/fill.bin\tf\t%s\t%s\t%s\n' "$size" "$(head -c "$size" /dev/zero | sha256sum | cut -d' ' -f1)" \
      "$(stat -c %i "$fill")" >>"$early"
  fi
  for i in 1 3 5 7 9; do
    printf 'scratch/h%s\tf\t8192\t%s\t%s\n' "$i" "$(sha "$src/scratch/h$i")" \
      "$([ "$kind" = ntfs ] && stat -c %i "$m/scratch/h$i" || echo '?')" >>"$early"
    rm "$m/scratch/h$i"
  done
  sync
  cat "$src/docs/2/fragmented-deleted.bin" >"$m/docs/2/fragmented-deleted.bin"
  sync
  if [ "$kind" = ntfs ]; then rm "$m/scratch/fill.bin"; sync; fi
  while IFS= read -r rel; do cp "$src/$rel" "$m/$rel"; done < <(each files)
}

# Deletes the deleted set through the driver: single files one by one, then docs/2/gone whole.
delete_mounted() {  # MOUNTPOINT
  local rel
  while IFS= read -r rel; do rm "$1/$rel"; done < <(each deleted-files)
  rm -r "$1/docs/2/gone"
}

make_ntfs_small() {
  local image=$out/ntfs-small.img manifest=$out/manifest-ntfs.tsv m=$work/mnt t0=$EPOCHREALTIME
  building=("$image" "$manifest")
  staged
  rm -f "$image"
  truncate -s 64M "$image"
  mkntfs -q -F -f -c 4096 -s 512 -p 0 -H 0 -S 0 -L SMALLNTFS "$image" >>"$work/tools.log" 2>&1
  ntfslabel -q --new-serial=5EED0000000001AA "$image" >>"$work/tools.log" 2>&1
  mount_volume ntfs "$image" "$m"
  fill_mounted ntfs "$m" "$work/early"
  python3 "$helper" walk "$m" "$work/walk"  # st_ino on ntfs-3g is the MFT record number
  unmount_volume "$m"
  python3 "$helper" manifest "$work/walk" "$image" ntfs "$manifest" "$work/early"
  mount_volume ntfs "$image" "$m"
  delete_mounted "$m"
  unmount_volume "$m"
  building=()
  made ntfs-small.img "$t0"
}

make_fat() {  # 16|32
  local bits=$1 image=$out/fat$1.img manifest=$out/manifest-fat$1.tsv t0=$EPOCHREALTIME rel i free
  building=("$image" "$manifest")
  staged
  rm -f "$image"
  truncate -s "$([ "$bits" = 16 ] && echo 32M || echo 64M)" "$image"
  mkfs.vfat -F "$bits" -n "FAT${bits}VOL" -i "5EED00$bits" "$image" >>"$work/tools.log"
  while IFS= read -r rel; do mmd -i "$image" "::/$rel"; done < <(each dirs)
  mmd -i "$image" ::/scratch
  for i in 0 1 2 3 4 5 6 7 8 9; do mcopy -i "$image" "$src/scratch/h$i" "::/scratch/h$i"; done
  # mtools allocates from the FSInfo next-free hint onwards: fill all free space first, so the
  # fragmented file can only go into the holes of the freed scratch files.
  free=$(mdir -i "$image" ::/ | awk '/bytes free/ { gsub(/[^0-9]/, ""); print }')
  head -c "$free" /dev/zero >"$work/fill.bin"
  mcopy -i "$image" "$work/fill.bin" ::/scratch/fill.bin
  printf 'scratch/fill.bin\tf\t%s\t%s\t?\n' "$free" "$(sha "$work/fill.bin")" >"$work/early"
  rm -f "$work/fill.bin"
  for i in 1 3 5 7 9; do
    mdel -i "$image" "::/scratch/h$i"
    printf 'scratch/h%s\tf\t8192\t%s\t?\n' "$i" "$(sha "$src/scratch/h$i")" >>"$work/early"
  done
  mcopy -i "$image" "$src/docs/2/fragmented-deleted.bin" ::/docs/2/fragmented-deleted.bin
  mdel -i "$image" ::/scratch/fill.bin
  while IFS= read -r rel; do mcopy -i "$image" "$src/$rel" "::/$rel"; done < <(each files)
  # The files are the staged ones byte for byte; inode numbers come from the Sleuth Kit.
  python3 "$helper" walk "$src" "$work/walk-all" --no-inode
  grep -v -E '^scratch/h[13579]	' "$work/walk-all" >"$work/walk"
  python3 "$helper" manifest "$work/walk" "$image" fat "$manifest" "$work/early"
  while IFS= read -r rel; do mdel -i "$image" "::/$rel"; done < <(each deleted-files)
  mdeltree -i "$image" ::/docs/2/gone
  building=()
  made "fat$bits.img" "$t0"
}

make_exfat() {
  local image=$out/exfat.img manifest=$out/manifest-exfat.tsv m=$work/mnt t0=$EPOCHREALTIME
  building=("$image" "$manifest")
  staged
  rm -f "$image"
  truncate -s 64M "$image"
  mkfs.exfat -L EXFATVOL "$image" >>"$work/tools.log"
  tune.exfat -I 0x5eed0e0f "$image" >>"$work/tools.log"
  mount_volume exfat "$image" "$m"
  fill_mounted exfat "$m" "$work/early"
  python3 "$helper" walk "$m" "$work/walk" --no-inode
  unmount_volume "$m"
  python3 "$helper" manifest "$work/walk" "$image" exfat "$manifest" "$work/early"
  mount_volume exfat "$image" "$m"
  delete_mounted "$m"
  unmount_volume "$m"
  building=()
  made exfat.img "$t0"
}

make_ntfs_large() {
  local image=$out/ntfs-large.img manifest=$out/manifest-ntfs-large.tsv m=$work/mnt t0=$EPOCHREALTIME
  building=("$image" "$manifest")
  rm -f "$image"
  truncate -s 1G "$image"
  mkntfs -q -F -f -c 4096 -s 512 -p 0 -H 0 -S 0 -L LARGENTFS "$image" >>"$work/tools.log" 2>&1
  ntfslabel -q --new-serial=5EED0000000002BB "$image" >>"$work/tools.log" 2>&1
  mount_volume ntfs "$image" "$m"
  python3 "$helper" large "$m" "$manifest"
  unmount_volume "$m"
  building=()
  made ntfs-large.img "$t0"
}

[ "$(id -u)" -eq 0 ] || { echo "make-real-volumes: needs root (loop devices and FUSE mounts)" >&2; exit 1; }
: >"$out/build-times.tsv"
for v in "${volumes[@]}"; do
  case $v in
    ntfs-small) make_ntfs_small ;;
    fat32) make_fat 32 ;;
    fat16) make_fat 16 ;;
    exfat) make_exfat ;;
    ntfs-large) make_ntfs_large ;;
    *) echo "make-real-volumes: unknown volume $v" >&2; exit 2 ;;
  esac
done
say "done: $out"
