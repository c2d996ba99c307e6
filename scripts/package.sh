#!/usr/bin/env bash
# Builds Quorvane (scripts/build.sh) and packs it as a Debian package installed
# under /usr; prints the path of build/package/quorvane_<version>_<arch>.deb.
# Install it with: sudo apt-get install ./build/package/quorvane_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(bash scripts/build.sh)
rm -f "$dir"/package/quorvane_*.deb
(cd "$dir" && cpack -G DEB) >&2
ls "$PWD/$dir"/package/quorvane_*.deb
