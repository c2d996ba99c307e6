#!/usr/bin/env bash
# Builds what the Debian package holds (the program, its helper, manual pages and
# icons; no tests) and packs it as a package installed under /usr; prints the path
# of build/package/quorvane_<version>_<arch>.deb.
# Install it with: sudo apt-get install ./build/package/quorvane_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -f build/CMakeCache.txt ] && grep -q '^QUORVANE_BUILD_TESTS:BOOL=ON' build/CMakeCache.txt; then
  # A tree configured with its tests: build the packaged targets in it, as they are.
  dir=$(TARGETS="quorvane quorvane-cli quorvane-open-helper quorvane_man_pages quorvane_icon_files" \
        bash scripts/build.sh)
else
  bash scripts/install.sh app
  dir=$(APP=1 bash scripts/build.sh)
fi
rm -f "$dir"/package/quorvane_*.deb
(cd "$dir" && cpack -G DEB) >&2
ls "$PWD/$dir"/package/quorvane_*.deb
