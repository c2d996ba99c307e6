#!/usr/bin/env bash
# Builds the Debian package into build-deb/ (installed under /usr, without
# tests and benchmarks) and prints the path of quorvane_<version>_<arch>.deb.
# Install it with: sudo apt-get install ./build-deb/quorvane_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-deb
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
       -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_BENCH=OFF)
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$PWD")}
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >&2
cmake --build "$dir" -j "$(nproc)" >&2
rm -f "$dir"/quorvane_*.deb
(cd "$dir" && cpack -G DEB) >&2
ls "$PWD/$dir"/quorvane_*.deb
