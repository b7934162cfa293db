#!/usr/bin/env bash
# Builds and runs every test: the portable core natively (AddressSanitizer + UBSan, then again
# under valgrind memcheck), the whole program as 64-bit and as 32-bit Windows code under Wine,
# what is handed out (the companion's Debian package and the Windows zip), and a short smoke run
# of every fuzz target.
# The 32-bit Windows suite runs wherever this machine can run a 32-bit Windows program (a tiny
# one is started to find out); elsewhere, and where the set-up could not install 32-bit Wine (it
# says why), only its Wine-free checks run and the rest is counted as skipped.
# VELLUMO_NO_WIN32=1 leaves it out on a machine that could run it.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1

passed=0; failed=0; skipped=0
started=$SECONDS

# tally_ctest LOG: adds the counts of ctest's summary line; no summary line is a failure.
tally_ctest() {
  local line bad total
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
}

build() {  # build PRESET: configure and build; a failure counts
  if ! { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }; then
    echo "build of $1 failed" >&2; failed=$((failed + 1)); return 1
  fi
}

run_ctest() {  # run_ctest PRESET [CTEST ARGS...]
  local log; log=$(mktemp)
  ctest --preset "$@" 2>&1 | tee "$log"
  tally_ctest "$log"; rm -f "$log"
}

timed() {  # timed NAME COMMAND...: runs it and prints how long it took
  local name=$1 from=$SECONDS; shift
  "$@"
  echo "== $name took $((SECONDS - from)) s"
}

suite() { build "$1" && run_ctest "$1"; }

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

memcheck_suite() {
  build native >/dev/null || return
  memcheck core_tests 0 build/native/tests/core_tests
  memcheck cli_simulate 0 build/native/cli/vellumo-cli simulate
  memcheck cli_simulate_fault 1 build/native/cli/vellumo-cli simulate --fault short-chunk
}

# The 32-bit product is always built and its Wine-free checks (the imports) always run; its
# Wine tests run only where 32-bit Windows programs can.
win32_suite() {
  build windows || return
  local why=
  if [ -n "${VELLUMO_NO_WIN32:-}" ]; then
    why="VELLUMO_NO_WIN32 is set"
  elif [ -f build/win32-unavailable ]; then
    why="32-bit Wine is not installed: $(cat build/win32-unavailable)"
  elif ! why=$(build/windows/wine-run.sh --can-run 2>&1); then
    why="this machine cannot run 32-bit Windows programs under Wine: ${why:-no reason given}"
  else
    run_ctest windows; return
  fi
  local not_run
  not_run=$(ctest --preset windows -N -L wine | sed -n 's/^Total Tests: //p')
  echo "32-bit Windows suite: ${not_run:-?} Wine tests not run ($why); running its other checks"
  skipped=$((skipped + ${not_run:-1}))
  run_ctest windows -LE wine
}

package_suite() {
  local package_passed package_failed package_skipped
  read -r package_passed package_failed package_skipped < <(scripts/check-package.sh --tally)
  passed=$((passed + ${package_passed:-0})); failed=$((failed + ${package_failed:-1}))
  skipped=$((skipped + ${package_skipped:-0}))
}

fuzz_suite() {
  local fuzz_passed fuzz_failed
  read -r fuzz_passed fuzz_failed < <(scripts/fuzz-smoke.sh --tally)
  passed=$((passed + ${fuzz_passed:-0})); failed=$((failed + ${fuzz_failed:-1}))
}

timed native-asan suite native-asan
timed memcheck memcheck_suite
timed windows64 suite windows64
timed windows win32_suite
timed package package_suite
timed fuzz fuzz_suite

echo
echo "== all suites took $((SECONDS - started)) s"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
