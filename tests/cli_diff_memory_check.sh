#!/bin/sh
# diff --json of two small reports whose answer is large: each difference repeats the text of
# its section, so a 40 KB title over 4,000 changed entries is 160 MB of JSON from 180 KB of
# reports. The companion writes it as it goes, within a memory bound far below the output's size
# (holding the output whole took six times that).
#   cli_diff_memory_check.sh VELLUMO_CLI SANITIZED(ON|OFF)
set -eu
cli=$1 sanitized=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

title=$(head -c 40000 /dev/zero | tr '\0' T)
entries() { i=0; while [ $i -lt 4000 ]; do printf 'k: %s\r' "$1"; i=$((i + 1)); done; }
{ printf '%s\r' "$title"; entries 1; } >"$dir/old.raw"
{ printf '%s\r' "$title"; entries 2; } >"$dir/new.raw"

limit_mb=96
status=0
if [ "$sanitized" = ON ]; then
  # The sanitizer reserves far more address space than it uses: bound what is resident instead,
  # with a small quarantine for what is freed.
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}hard_rss_limit_mb=$limit_mb:quarantine_size_mb=16" \
    "$cli" diff --json "$dir/old.raw" "$dir/new.raw" >"$dir/out.json" 2>"$dir/err" || status=$?
else
  prlimit --as=$((limit_mb << 20)) -- \
    "$cli" diff --json "$dir/old.raw" "$dir/new.raw" >"$dir/out.json" 2>"$dir/err" || status=$?
fi

fail() { echo "FAIL: $*" >&2; cat "$dir/err" >&2; exit 1; }
[ "$status" -eq 1 ] || fail "diff exited $status, not 1 (the reports differ)"
[ ! -s "$dir/err" ] || fail "diff said something on standard error"
size=$(wc -c <"$dir/out.json")
# 4,000 differences, each with the whole title, the key, both values and the delta.
[ "$size" -gt $((4000 * 40000)) ] || fail "the JSON is $size bytes, too short for 4,000 differences"
first=$(head -c 200 "$dir/out.json")
case $first in
  '{"old":{"file":"'*) ;;
  *) fail "the JSON starts: $first" ;;
esac
tail_text=$(tail -c 120 "$dir/out.json")
case $tail_text in
  *'"key":"k","occurrence":4000,"change":"changed","old":"1","new":"2","delta":"+1"}]}') ;;
  *) fail "the JSON ends: $tail_text" ;;
esac
echo "diff --json wrote $size bytes within $limit_mb MB"
