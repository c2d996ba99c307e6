#!/usr/bin/env bash
# Re-makes the screenshots in docs/ from real scans: builds a memory-card
# image with deleted photos and documents and a drive image whose partition
# table was wiped, then walks the desktop window through its pages under Xvfb
# (quorvane-screenshots). Needs xvfb, imagemagick, dosfstools, mtools, fdisk
# and ntfs-3g (scripts/install.sh installs them).
#   bash scripts/screenshots.sh [OUTDIR]   (default: docs)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath "${1:-docs}")
dir=$PWD/$(TARGETS="quorvane-screenshots" bash scripts/build.sh)
work=$(mktemp -d /tmp/quorvane-shots.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The memory card: photos and documents, some of them deleted.
card="$work/card.img"
mkfs.fat -C -F 16 -n HOLIDAY "$card" 32768 >/dev/null
mmd -i "$card" ::PHOTOS ::DOCS
i=0
for look in plasma:skyblue-navy plasma:orange-yellow plasma:green-blue plasma:tomato-gold plasma:purple-pink; do
  i=$((i + 1))
  convert -seed "$i" -size 480x320 "$look" -blur 0x2 -quality 85 "$work/IMG_000$i.JPG"
  mcopy -i "$card" "$work/IMG_000$i.JPG" ::PHOTOS/
done
printf 'Packing list\n- passport\n- camera\n- charger\n' >"$work/LIST.TXT"
printf 'Route: harbour, old town, lighthouse.\n' >"$work/ROUTE.TXT"
mcopy -i "$card" "$work/LIST.TXT" "$work/ROUTE.TXT" ::DOCS/
for f in IMG_0002.JPG IMG_0003.JPG IMG_0005.JPG; do mdel -i "$card" "::PHOTOS/$f"; done
mdel -i "$card" ::DOCS/ROUTE.TXT

# The drive: a FAT32 and an NTFS partition, then its partition table wiped.
drive="$work/lost-partitions.img"
truncate -s 96M "$drive"
printf 'label: dos\nstart=2048, size=81920, type=c\nstart=83968, size=110592, type=7\n' | sfdisk -q "$drive"
truncate -s 40M "$work/fat32.img"
mkfs.fat -F 32 -s 1 -h 2048 -n PHOTOS "$work/fat32.img" >/dev/null
dd if="$work/fat32.img" of="$drive" bs=512 seek=2048 conv=notrunc status=none
truncate -s 54M "$work/ntfs.img"
mkntfs -q -F -Q -s 512 -p 83968 -H 255 -S 63 -L Documents "$work/ntfs.img" >/dev/null 2>&1
dd if="$work/ntfs.img" of="$drive" bs=512 seek=83968 conv=notrunc status=none
dd if=/dev/zero of="$drive" bs=1 seek=446 count=64 conv=notrunc status=none

mkdir -p "$out"
QUORVANE_IMAGES="$card:$drive" QUORVANE_IMAGES_ONLY=1 LANG=C.UTF-8 LC_ALL=C.UTF-8 \
  HOME="$work" XDG_CONFIG_HOME="$work/config" \
  xvfb-run -a -s "-screen 0 1280x900x24" "$dir/bin/quorvane-screenshots" "$out"
ls -l "$out"/screenshot-*.png
