#!/usr/bin/env bash
# Configures and builds Quorvane. SANITIZE=1 builds with ASan+UBSan into build-asan,
# TSAN=1 with ThreadSanitizer into build-tsan; otherwise into build.
# APP=1 configures without tests, benchmarks and fuzz bodies and builds only the
# program (what scripts/run.sh and the package need).
# TARGETS="a b" builds only those targets; CMAKE_ARGS adds configure options.
# Prints the build folder on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [ "${SANITIZE:-0}" = "1" ]; then
  dir=build-asan
  flags+=(-DQUORVANE_SANITIZE=ON -DQUORVANE_BUILD_BENCH=ON)
elif [ "${TSAN:-0}" = "1" ]; then
  dir=build-tsan
  flags+=(-DQUORVANE_TSAN=ON -DQUORVANE_BUILD_BENCH=OFF)
fi
app_targets="quorvane quorvane-cli quorvane-open-helper quorvane_man_pages quorvane_icon_files"
if [ "${APP:-0}" = "1" ]; then
  flags+=(-DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_BENCH=OFF -DQUORVANE_BUILD_FUZZ_BODIES=OFF)
  TARGETS=${TARGETS:-$app_targets}
elif [ "$dir" = build ]; then
  flags+=(-DQUORVANE_BUILD_TESTS=ON -DQUORVANE_BUILD_BENCH=ON -DQUORVANE_BUILD_FUZZ_BODIES=ON)
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
