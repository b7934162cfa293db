#!/bin/sh
# How the companion ends on the USB printer stand, as a process of its own:
#   cli_ending_check.sh EXIT LAUNCHER... usb-printer-stand --report [OPTIONS] -- vellumo-cli ...
# Passes when the companion ended itself (no signal killed it) with EXIT, said exactly one line
# on stderr, and every emulated printer has its kernel driver ("usblp") back.
expected=$1
shift
said=$(mktemp) || exit 1
trap 'rm -f "$said"' EXIT
"$@" 2>"$said"
cat "$said"
fail() {
    echo "FAIL: $1"
    exit 1
}
grep -qx "command: exit $expected" "$said" || fail "the companion did not exit with $expected"
grep -q '^driver ' "$said" || fail "the stand named no printer"
if grep '^driver ' "$said" | grep -qv ': usblp$'; then
    fail "a printer was not given back to its kernel driver"
fi
lines=$(grep -c '^vellumo-cli: ' "$said")
[ "$lines" -eq 1 ] || fail "the companion said $lines lines on stderr, not one"
echo "PASS: exit $expected, one line, every printer given back"
