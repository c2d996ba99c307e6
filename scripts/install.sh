#!/usr/bin/env bash
# Installs the Debian 12 packages Quorvane needs; only what is missing.
#   install.sh app    what building and running the program need (scripts/run.sh, package.sh)
#   install.sh        that and everything the tests, benchmarks and fuzzers use
set -euo pipefail

packages=(
  # build and run
  build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev
  libblkid-dev libmount-dev libudev-dev libcli11-dev zlib1g-dev
  # checks of found JPEG files
  libjpeg62-turbo-dev
  # every-byte deep scans: all headers searched at once
  libvectorscan-dev
  # decode checks of H.264 and HEVC videos found in two pieces
  libavcodec-dev
)
if [ "${1:-all}" != "app" ]; then
packages+=(
  libgtest-dev libgmock-dev libbenchmark-dev
  # tests: real file systems, partition tables, an independent reader, a display for the GUI
  dosfstools mtools ntfs-3g fdisk sleuthkit xvfb xauth imagemagick
  # lost partitions on GPT disks with Linux file systems: sgdisk and the mkfs tools the tests use
  gdisk e2fsprogs btrfs-progs xfsprogs cryptsetup-bin lvm2 util-linux
  # exFAT images: mkfs.exfat, and the FUSE mount that fills and empties them
  exfatprogs exfat-fuse fuse3
  # more real files for the deep-scan tests
  zip p7zip-full xz-utils bzip2 gzip sqlite3 file flac lame python3
  ffmpeg libimage-exiftool-perl genisoimage qemu-utils python3-fonttools libheif1
  # JPEGs with restart markers for the tests of photos in two pieces: cjpeg, jpegtran
  libjpeg-turbo-progs
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # boots the repaired MBR in an emulator
  qemu-system-x86
  # opening devices as a normal user: private udisks2, polkit, udev and system bus
  udisks2 polkitd pkexec udev dbus
  # the Debian package and its checks
  dpkg-dev desktop-file-utils appstream
  # the faulty disk (FUSE) for read-error and imaging tests; GNU's reader of mapfiles
  fuse3 libfuse3-dev gddrescue
)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
