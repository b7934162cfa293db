#!/bin/sh
# Two readings of the stand's sample printer, before and after a visit that changed a counter
# (the stand's report=FILE), compared by the companion: the raw report kept by the first
# against read --json of the second, plainly and as JSON (kept in FOLDER for the schema check).
#   cli_diff_of_two_readings.sh FOLDER VELLUMO-CLI LAUNCHER... usb-printer-stand
set -u
samples=$1 cli=$2
shift 2
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $1"
    exit 1
}
"$@" --printer 1-1 -- "$cli" read --raw "$work/before.raw" >/dev/null ||
    fail "the first reading failed"
sed 's/Page Count Since Power On: 214/Page Count Since Power On: 1464/' "$work/before.raw" \
    >"$work/visited.report"
cmp -s "$work/before.raw" "$work/visited.report" && fail "the visit changed nothing"
"$@" --printer "1-1:report=$work/visited.report" -- "$cli" read --json >"$work/after.json" ||
    fail "the second reading failed"

"$cli" diff "$work/before.raw" "$work/after.json" >"$work/plain" 2>"$work/said"
status=$?
cat "$work/plain" "$work/said"
[ "$status" -eq 1 ] || fail "diff exited with $status, not 1"
printf '[General Information]\n~ Page Count Since Power On: 214 -> 1464 (+1250)\n' |
    cmp -s - "$work/plain" || fail "not the one difference expected"
[ ! -s "$work/said" ] || fail "diff said something on stderr"
"$cli" diff --json "$work/before.raw" "$work/after.json" >"$samples/diff-usb-stand.json"
[ $? -eq 1 ] || fail "diff --json did not exit with 1"
grep -q '"delta":"+1250"' "$samples/diff-usb-stand.json" || fail "no delta in the JSON"
"$cli" diff "$work/after.json" "$work/after.json" >"$work/same" || fail "a reading differs from itself"
[ ! -s "$work/same" ] || fail "a reading against itself printed something"
echo "PASS: one difference, plainly and as JSON; none between a reading and itself"
