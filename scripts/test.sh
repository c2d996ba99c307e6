#!/usr/bin/env bash
# Installs, builds and runs every test. SANITIZE=1 runs them in an ASan+UBSan build.
#
# FULL=1 (set by CI, where CI=true) runs the reliability stages instead of the
# plain suite, building each tree once:
#   1. the program alone (build), packed and checked as a Debian package,
#   2. the whole suite in an ASan+UBSan build (build-asan): every test, sanitized,
#   3. the threaded tests in a ThreadSanitizer build (build-tsan, only those binaries),
#   4. every fuzz target for FUZZ_SECONDS seconds each (default 15; scripts/fuzz.sh).
# Any sanitizer report, failed test or fuzz finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Test binaries mostly wait on tools, FUSE and loop devices: a third one in
# flight keeps both cores busy.
jobs=${TEST_JOBS:-3}

full=${FULL:-0}
if [ "${CI:-}" = "true" ]; then full=${FULL:-1}; fi
if [ "${SANITIZE:-0}" = "1" ] || [ "${TSAN:-0}" = "1" ]; then full=0; fi
stage() { echo; echo "== $1 ($(date +%T))"; }

package_stage() {
  if [ "${QUORVANE_SKIP_PACKAGE:-0}" = "1" ]; then return 0; fi
  stage "Debian package"
  deb=$(bash scripts/package.sh)
  bash tests/desktop/package_test.sh "$deb" || { rc=$?; [ "$rc" = 77 ] || exit "$rc"; }
}

if [ "$full" != "1" ]; then
  dir=$(bash scripts/build.sh)
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  if [ "$dir" = "build" ]; then package_stage; fi
  exit 0
fi

stage "The program and its package"
APP=1 bash scripts/build.sh >/dev/null
package_stage

stage "ASan+UBSan: the whole suite"
asan=$(SANITIZE=1 bash scripts/build.sh)
LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/regression/lsan.supp} \
  ctest --test-dir "$asan" --output-on-failure -j "$jobs"

# The tests whose work runs on threads that another thread steers: engine
# pause and stop from the interface thread, the recovery worker, the
# partition search's stop, the media check, and the window's scan and recovery
# threads reporting while the window paints.
stage "ThreadSanitizer: the threaded tests"
threaded=(fat_rules_test fat_engine_test sector_device_test engine_core_test ntfsscan_test sigscan_test partition_search_test threads_test ui_test)
tsan=$(TSAN=1 TARGETS="${threaded[*]}" bash scripts/build.sh)
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/regression/tsan.supp}
pattern=$(IFS='|'; echo "^(${threaded[*]})\$")
ctest --test-dir "$tsan" --output-on-failure -j "$jobs" -R "$pattern"

stage "Fuzzing: every target for ${FUZZ_SECONDS:-15} s"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-15}"
stage "All stages passed"
