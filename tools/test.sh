#!/usr/bin/env bash
# Builds and runs every test: the portable core natively (AddressSanitizer + UBSan, then again
# under valgrind memcheck), the whole program as 32-bit Windows code under Wine, and a short
# smoke run of every fuzz target.
set -uo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh || exit 1

passed=0; failed=0
run_suite() {  # run_suite PRESET
  local preset=$1 log
  log=$(mktemp)
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "build of $preset failed" >&2; failed=$((failed + 1)); return
  fi
  ctest --preset "$preset" 2>&1 | tee "$log"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  local total bad
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
  rm -f "$log"
}

# memcheck NAME STATUS COMMAND...: one check, passed when valgrind finds no error and no leak
# and the command exits with STATUS.
memcheck() {
  local name=$1 want=$2 status=0; shift 2
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "$@" >/dev/null || status=$?
  if [ "$status" -eq "$want" ]; then
    echo "memcheck $name: passed"; passed=$((passed + 1))
  else
    echo "memcheck $name: FAILED (exit $status)" >&2; failed=$((failed + 1))
  fi
}

run_suite native-asan
if cmake --preset native >/dev/null && cmake --build --preset native >/dev/null; then
  memcheck core_tests 0 build/native/tests/core_tests
  memcheck cli_simulate 0 build/native/tools/vellumo-cli simulate
  memcheck cli_simulate_fault 1 build/native/tools/vellumo-cli simulate --fault short-chunk
else
  echo "build of native failed" >&2; failed=$((failed + 1))
fi
run_suite windows
read -r fuzz_passed fuzz_failed < <(tools/fuzz-smoke.sh --tally); passed=$((passed + ${fuzz_passed:-0})); failed=$((failed + ${fuzz_failed:-1}))

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
