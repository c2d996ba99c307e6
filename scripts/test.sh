#!/usr/bin/env bash
# Installs, builds and runs every test. SANITIZE=1 runs them in an ASan+UBSan build.
#
# FULL=1 (set by CI, where CI=true) then adds the reliability stages:
#   1. the whole suite again in an ASan+UBSan build (build-asan),
#   2. the threaded tests in a ThreadSanitizer build (build-tsan, only those binaries),
#   3. every fuzz target for FUZZ_SECONDS seconds each (default 15; scripts/fuzz.sh).
# Any sanitizer report, failed test or fuzz finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
dir=$(bash scripts/build.sh)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j 2

# The Debian package of this build, unpacked and checked.
if [ "$dir" = "build" ] && [ "${QUORVANE_SKIP_PACKAGE:-0}" != "1" ]; then
  echo; echo "== Debian package ($(date +%T))"
  deb=$(bash scripts/package.sh)
  bash tests/desktop/package_test.sh "$deb" || { rc=$?; [ "$rc" = 77 ] || exit "$rc"; }
fi

full=${FULL:-0}
if [ "${CI:-}" = "true" ]; then full=${FULL:-1}; fi
if [ "$full" != "1" ] || [ "$dir" != "build" ]; then exit 0; fi

stage() { echo; echo "== $1 ($(date +%T))"; }

stage "ASan+UBSan: the whole suite"
asan=$(SANITIZE=1 bash scripts/build.sh)
LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/regression/lsan.supp} \
  ctest --test-dir "$asan" --output-on-failure -j 2

# The tests whose work runs on threads that another thread steers: engine
# pause and stop from the interface thread, the recovery worker, the
# partition search's stop, the media watch.
stage "ThreadSanitizer: the threaded tests"
threaded=(fat_reader_test fat_engine_test sector_device_test engine_core_test ntfsscan_test sigscan_test partition_search_test threads_test)
tsan=$(TSAN=1 TARGETS="${threaded[*]}" bash scripts/build.sh)
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/regression/tsan.supp}
pattern=$(IFS='|'; echo "^(${threaded[*]})\$")
ctest --test-dir "$tsan" --output-on-failure -j 2 -R "$pattern"

stage "Fuzzing: every target for ${FUZZ_SECONDS:-15} s"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-15}"
stage "All stages passed"
