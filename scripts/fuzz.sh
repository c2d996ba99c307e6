#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS seconds each (default 60):
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
# Builds them with clang into build-fuzz (ASan+UBSan, coverage-guided), makes
# fresh seed corpora from real tools and sample files, and keeps what each run
# learnt in build-fuzz/corpus/<target>/ for the next run. Any finding (crash,
# sanitizer report, broken contract, leak, hang over 25 s, memory over 2 GiB)
# fails the run; its input is left in build-fuzz/findings/<target>/. Keep a
# small copy of it in tests/regression/inputs/<target>/ once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
dir=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_FUZZ=ON -DQUORVANE_BUILD_GUI=OFF -DQUORVANE_BUILD_BENCH=OFF \
  -DQUORVANE_EXCLUDE="ui;ui_shell" >&2
cmake --build "$dir" -j "$(nproc)" --target qv_fuzzers >&2

bin=$dir/fuzz-bin
seeds=$dir/seeds
rm -rf "$seeds"
"$bin/quorvane-fuzz-seeds" "$seeds" "$PWD"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$bin"/fuzz_*; do targets+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  corpus=$dir/corpus/$t
  findings=$dir/findings/$t
  mkdir -p "$corpus" "$findings" "$seeds/$t"
  log=$dir/fuzz-$t.log
  echo "fuzz $t: ${seconds} s" >&2
  if "$bin/fuzz_$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "$seeds/$t" >"$log" 2>&1; then
    grep -E "^(stat::number_of_executed_units|stat::new_units_added)" "$log" | tr '\n' ' ' >&2 || true
    echo >&2
  else
    echo "fuzz $t: FINDING (see $log and $findings/)" >&2
    tail -60 "$log" >&2
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, ${seconds} s each, no finding" >&2
