#!/bin/bash
# Undelete on a kernel-made ext4 volume: quorvane-cli against ext4magic (when installed).
# As root: bench/ext4_undelete_compare.sh build/bin/quorvane-cli [workdir]
# Makes a 512 MiB image, writes a folder tree, single files (some with UTF-8 names), a 24 MiB
# file and files written around holes through the kernel, deletes them with rm, recovers them
# and counts the files that come back byte-exact, and byte-exact under their original path.
set -euo pipefail
cli=$(realpath "$1")
work=${2:-/tmp/quorvane-ext4-compare}
rm -rf "$work"; mkdir -p "$work/mnt"; cd "$work"
truncate -s 512M img.ext4
mkfs.ext4 -q -F img.ext4
mount -o loop img.ext4 mnt
trap 'umount "$work/mnt" 2>/dev/null || true' EXIT
python3 - "$work/mnt" <<'PY'
import os, random, sys
random.seed(7)
root = sys.argv[1]
sizes = [0, 1, 100, 3000, 4096, 5000, 20000, 65536, 150000, 400000, 1200000, 3000000]
for d in ['projects/alpha/src', 'projects/alpha/docs', 'projects/beta/data', 'keep']:
    os.makedirs(f'{root}/{d}', exist_ok=True)
n = 0
for d in ['projects/alpha/src', 'projects/alpha/docs', 'projects/beta/data', 'projects']:
    for i in range(10):
        open(f'{root}/{d}/file_{n}.bin', 'wb').write(os.urandom(random.choice(sizes)))
        n += 1
for i in range(20):
    name = f'single_{i}.dat' if i % 5 else f'Ümlaut café {i}.txt'
    open(f'{root}/{name}', 'wb').write(os.urandom(random.choice(sizes)))
open(f'{root}/big_24mb.bin', 'wb').write(os.urandom(24 << 20))
for i in range(3):
    with open(f'{root}/holes_{i}.bin', 'wb') as f:
        for k in range(8):
            f.seek(k * 300000)
            f.write(os.urandom(5000))
for i in range(30):
    open(f'{root}/keep/live_{i}.bin', 'wb').write(os.urandom(random.choice(sizes)))
PY
sync
(cd mnt && find . -type f ! -path './keep/*' ! -path './lost+found/*' -print0 | xargs -0 sha256sum) > hashes.txt
(cd mnt && rm -rf projects single_* Ümlaut* big_24mb.bin holes_*)
sync; umount mnt; trap - EXIT

count() {  # folder: "byte-exact under-path" against hashes.txt
    python3 - "$1" <<'PY'
import hashlib, os, sys
out = sys.argv[1]
want = {}
for line in open('hashes.txt', encoding='utf-8', errors='surrogateescape'):
    h, p = line.rstrip('\n').split('  ', 1)
    want[p[2:]] = h
got = {}
for dp, _, fn in os.walk(out):
    for f in fn:
        full = os.path.join(dp, f)
        got[os.path.relpath(full, out)] = hashlib.sha256(open(full, 'rb').read()).hexdigest()
hashes = set(got.values())
print(f'{len(want)} deleted: {sum(h in hashes for h in want.values())} byte-exact, '
      f'{sum(got.get(p) == h for p, h in want.items())} byte-exact under their path')
PY
}
mkdir ours
"$cli" recover img.ext4 --to ours --keep-tree > ours.log 2>&1 || true
echo "quorvane-cli: $(count ours)"
if command -v ext4magic > /dev/null; then
    mkdir magic
    ext4magic img.ext4 -r -d magic > magic.log 2>&1 || echo "ext4magic -r exited with $?"
    echo "ext4magic -r: $(count magic)"
fi
