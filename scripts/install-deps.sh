#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the real-volume tools need.
# Does nothing when every package is already installed.
set -euo pipefail

packages=(
  cmake ninja-build g++
  libgtest-dev libgmock-dev libbenchmark-dev
  libfmt-dev nlohmann-json3-dev libspdlog-dev
  sleuthkit testdisk gddrescue foremost
  ntfs-3g dosfstools mtools exfatprogs exfat-fuse fuse3 python3
  clang-19 libclang-rt-19-dev
  util-linux procps e2fsprogs bindfs btrfs-progs
  systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
