#!/usr/bin/env bash
# Installs, builds and runs every test. SANITIZE=1 runs them in an ASan+UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
dir=$(bash scripts/build.sh)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j 2
