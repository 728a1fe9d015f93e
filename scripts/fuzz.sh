#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (build-fuzz, ASan and
# UBSan) and runs each for the given seconds (default 60).
# Usage: scripts/fuzz.sh [seconds] [target...]   (every target by default)
#
# Each target runs on a scratch copy of its seeds (tests/fuzz/corpus/<name>/),
# so the kept corpus does not grow. An input that finds a fault is left in
# build-fuzz/fuzz-run/<name>/findings/; once the fault is fixed, copy it into
# the target's corpus. Exits non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
only=("$@")
build=build-fuzz

# clang, and the package with libFuzzer's runtime (libclang_rt.fuzzer).
scripts/deps.sh clang libclang-rt-14-dev

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DPATHVANE_FUZZ=ON -DPATHVANE_TESTS=OFF \
  -DPATHVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target fuzz_targets

# A UBSan report ends the run like a crash; leaks are findings too. Options
# already in the environment come after ours and win.
export ASAN_OPTIONS="detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

failed=0
printf '%-16s %12s %10s  %s\n' target executions execs/s findings
# One line per target: name, largest input, seed corpus (written by CMake).
while read -r name max_len corpus; do
  if [[ ${#only[@]} -gt 0 && " ${only[*]} " != *" $name "* ]]; then continue; fi
  run=$build/fuzz-run/$name
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/findings"
  cp -r "$corpus/." "$run/corpus/"
  status=0
  # stdout is closed: the command-line parser prints its complaints there.
  "$build/fuzz/${name}_fuzz" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$run/findings/" "$run/corpus" \
    >"$run/log" 2>&1 || status=$?

  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -n 1)
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$run/log" | tail -n 1 || true)
  if [[ -z "$executions" ]]; then
    # No final statistics after a crash: the last progress line ("#N ...") has the count.
    executions=$(sed -n 's/^#\([0-9][0-9]*\)[[:space:]].*/\1/p' "$run/log" | tail -n 1)
  fi
  rate=-
  if [[ -n "$done_line" ]]; then
    read -r _ runs _ _ secs _ <<<"$done_line"
    rate=$((runs / (secs > 0 ? secs : 1)))
  fi
  findings=$(find "$run/findings" -type f | wc -l)
  printf '%-16s %12s %10s  %s\n' "$name" "${executions:-?}" "$rate" "$findings"
  if [[ $status -ne 0 || $findings -gt 0 ]]; then
    failed=1
    echo "--- $name: exit status $status; inputs in $run/findings/; end of $run/log:" >&2
    tail -n 40 "$run/log" >&2
  fi
done <"$build/fuzz/targets.txt"

exit $failed
