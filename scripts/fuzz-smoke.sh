#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a while (1 job) over a copy of its seeds,
# failing on any crash, leak, time-out, broken check or sanitizer report.
# Usage: scripts/fuzz-smoke.sh [--tally] [SECONDS]
#   SECONDS per target: the argument, else $FUZZ_SECONDS, else 30.
#   --tally: the run's output goes to stderr, and stdout gets only "PASSED FAILED" at the end.
# $FUZZ_BUILD_DIR overrides the build folder (build/fuzz).
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--tally" ]; then
  shift
  exec 3>&1 1>&2
else
  exec 3>/dev/null
fi
seconds=${1:-${FUZZ_SECONDS:-30}}
build=${FUZZ_BUILD_DIR:-build/fuzz}
targets=(formatter_fuzzer session_fuzzer asset_fuzzer export_path_fuzzer packet_fuzzer
         descriptor_fuzzer usb_quirks_fuzzer)

if ! { cmake --preset fuzz -B "$build" >/dev/null && cmake --build "$build" -j 2; }; then
  echo "build of the fuzz preset failed" >&2
  echo "0 1" >&3
  exit 1
fi

# New inputs go to a scratch corpus; the committed seeds are only read.
work=$(mktemp -d)
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
passed=0; failed=0
fuzz_target() {  # fuzz_target NAME
  local name=$1 log="$work/$1.log" dict=fuzz/dict/$1.dict rc
  local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$work/$name-")
  [ -f "$dict" ] && options+=(-dict="$dict")
  mkdir -p "$work/$name"
  "$build/fuzz/$name" "${options[@]}" "$work/$name" "fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  local done_line runs
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  if [ "$rc" -ne 0 ] || grep -qE 'ERROR: (Address|Leak|Undefined)Sanitizer|runtime error:|check failed:|deadly signal|ALARM: working on the last Unit' "$log"; then
    echo "FAIL $name (exit $rc); log and inputs kept in $work"
    grep -E 'ERROR:|runtime error:|check failed:|SUMMARY:|Test unit written to|Base64:' "$log" | head -n 20
    failed=$((failed + 1))
  else
    echo "PASS $name: ${runs:-?} runs in ${seconds} s, ${done_line#*DONE}"
    passed=$((passed + 1))
  fi
}

for target in "${targets[@]}"; do fuzz_target "$target"; done
[ "$failed" -eq 0 ] && rm -rf "$work"
echo "fuzz: $passed passed, $failed failed"
echo "$passed $failed" >&3
[ "$failed" -eq 0 ]
