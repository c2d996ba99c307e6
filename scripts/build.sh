#!/usr/bin/env bash
# Configures and builds Quorvane. SANITIZE=1 builds with ASan+UBSan into build-asan,
# TSAN=1 with ThreadSanitizer into build-tsan; otherwise into build.
# TARGETS="a b" builds only those targets; CMAKE_ARGS adds configure options.
# Prints the build folder on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [ "${SANITIZE:-0}" = "1" ]; then
  dir=build-asan
  flags+=(-DQUORVANE_SANITIZE=ON -DQUORVANE_BUILD_BENCH=OFF)
elif [ "${TSAN:-0}" = "1" ]; then
  dir=build-tsan
  flags+=(-DQUORVANE_TSAN=ON -DQUORVANE_BUILD_BENCH=OFF)
fi
# ccache, where it is installed, makes rebuilds of other checkouts of the tree cheap.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$PWD")}
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# shellcheck disable=SC2206
flags+=(${CMAKE_ARGS:-})

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >&2
targets=()
for t in ${TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
echo "$dir"
