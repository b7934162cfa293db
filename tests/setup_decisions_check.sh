#!/usr/bin/env bash
# The set-up's decisions, with stand-ins for apt-get, dpkg, dpkg-query, id and locale on PATH:
# no package of this machine is touched. Each case runs a copy of scripts/setup.sh in a
# temporary tree and looks at what it asked of the stand-in archive, what it said and what it
# left for the test and demo scripts.
#   setup_decisions_check.sh SOURCE_DIR
set -u
source_dir=$1
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }

# stand_in NAME BODY: a program of that name in the stand-in folder.
stand_in() {
  printf '#!/bin/sh\n%s\n' "$2" >"$work/bin/$1"
  chmod +x "$work/bin/$1"
}

# The archive as it was seen on a fresh machine: the i386 security index out of step.
mirror_out_of_step='echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2; exit 100'
broken_i386='echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100'

# run_setup UPDATE INSTALL INSTALL_I386 PROBE: runs the copy with these behaviours of
# `apt-get update`, `apt-get install` of 64-bit packages and of i386 ones, and of the 32-bit
# probe; sets `status`, `said` (stderr) and `asked` (every stand-in call, in order).
run_setup() {
  rm -rf "$work/tree" "$work/bin" "$work/calls"
  mkdir -p "$work/tree/scripts" "$work/bin"
  cp "$source_dir/scripts/setup.sh" "$source_dir/scripts/apt.sh" "$work/tree/scripts/"
  : >"$work/calls"
  local log="echo \"\$(basename \"\$0\") \$*\" >>'$work/calls'"
  stand_in apt-get "$log
case \"\$1\" in update) $1 ;; esac
case \"\$*\" in *:i386*) $3 ;; *) $2 ;; esac"
  stand_in dpkg "$log"
  stand_in dpkg-query 'exit 1'  # nothing is installed
  stand_in id 'echo 0'
  stand_in locale 'echo ru_RU.utf8'
  stand_in probe "$4"
  said=$(PATH="$work/bin:$PATH" VELLUMO_32BIT_PROBE="$work/bin/probe" \
         bash "$work/tree/scripts/setup.sh" 2>&1 >/dev/null)
  status=$?
  asked=$(cat "$work/calls")
}

left_out() { cat "$work/tree/build/win32-unavailable" 2>/dev/null; }

# line_of PATTERN: the number of the first call matching it, 0 when none does.
line_of() { grep -n -m1 -e "$1" <<<"$asked" | cut -d: -f1 || true; }

case_name="the i386 index fails and 32-bit Wine is refused: everything else installs"
run_setup "$mirror_out_of_step" 'exit 0' "$broken_i386" 'exit 42'
[ "$status" -eq 0 ] || fail "setup exited $status: $said"
grep -q 'install .*wine64' <<<"$asked" || fail "the 64-bit packages were not installed: $asked"
[ "$(line_of 'install .*wine64')" -lt "$(line_of 'install .*wine32:i386')" ] ||
  fail "the 64-bit packages did not come first: $asked"
grep -q 'dpkg --add-architecture i386' <<<"$asked" || fail "i386 was not added: $asked"
[ "$(grep -c 'left out' <<<"$said")" -eq 1 ] || fail "not one line saying why: $said"
grep -q 'held broken packages' <<<"$said" || fail "apt's reason for the install not said: $said"
grep -q 'Mirror sync in progress' <<<"$said" || fail "apt's reason for the index not said: $said"
grep -q 'held broken packages' <<<"$(left_out)" || fail "no reason left for test.sh: $(left_out)"

case_name="a kernel without 32-bit programs: nothing of i386 is asked for"
run_setup 'exit 0' 'exit 0' 'exit 0' 'echo "cannot execute binary file: Exec format error" >&2; exit 126'
[ "$status" -eq 0 ] || fail "setup exited $status: $said"
grep -q 'i386' <<<"$asked" && fail "i386 asked for: $asked"
grep -q 'install .*wine64' <<<"$asked" || fail "the 64-bit packages were not installed: $asked"
grep -q 'cannot run 32-bit programs' <<<"$(left_out)" || fail "reason left: $(left_out)"

case_name="an index fails, every install works: nothing left out"
run_setup "$mirror_out_of_step" 'exit 0' 'exit 0' 'exit 42'
[ "$status" -eq 0 ] || fail "setup exited $status: $said"
grep -q 'install .*wine32:i386' <<<"$asked" || fail "32-bit Wine was not installed: $asked"
[ -z "$(left_out)" ] || fail "32-bit Wine said left out: $(left_out)"
grep -q 'install went on' <<<"$said" || fail "the failed update not mentioned: $said"

case_name="the 64-bit install is refused: the set-up fails with apt's reason"
run_setup 'exit 0' "$broken_i386" 'exit 0' 'exit 42'
[ "$status" -ne 0 ] || fail "setup succeeded: $said"
grep -q 'held broken packages' <<<"$said" || fail "apt's reason not said: $said"
grep -q 'i386' <<<"$asked" && fail "i386 asked for after the 64-bit part failed: $asked"

case_name="VELLUMO_NO_WIN32: nothing of i386, and the reason left"
VELLUMO_NO_WIN32=1 run_setup 'exit 0' 'exit 0' 'exit 0' 'exit 42'
[ "$status" -eq 0 ] || fail "setup exited $status: $said"
grep -q 'i386' <<<"$asked" && fail "i386 asked for: $asked"
grep -q 'VELLUMO_NO_WIN32' <<<"$(left_out)" || fail "reason left: $(left_out)"

# The package build needs nothing of i386, and an index that fails does not stop it: it goes on
# to the build (a stand-in cmake ends it there).
case_name="package.sh past a failing index"
run_setup "$mirror_out_of_step" 'exit 0' "$broken_i386" 'exit 42'
cp "$source_dir/scripts/package.sh" "$work/tree/scripts/"
stand_in cmake "echo \"cmake \$*\" >>'$work/calls'; exit 1"
: >"$work/calls"
said=$(cd "$work/tree" && PATH="$work/bin:$PATH" bash scripts/package.sh 2>&1 >/dev/null)
asked=$(cat "$work/calls")
grep -q 'install .*libusb-1.0-0-dev' <<<"$asked" || fail "its packages were not installed: $asked"
grep -q 'cmake --preset package' <<<"$asked" || fail "it stopped before the build: $said"
grep -q 'i386' <<<"$asked" && fail "i386 asked for: $asked"

# The probe the set-up carries: where the kernel runs 32-bit programs it exits with 42, else
# the kernel refuses it; anything else (a crash, a shell's complaint) means its bytes are wrong.
case_name="the carried 32-bit probe"
probe_tree=$work/probe
mkdir -p "$probe_tree/scripts"
sed -n '/^write_32bit_probe() {/,/^}/p' "$source_dir/scripts/setup.sh" >"$probe_tree/probe.sh"
# shellcheck source=/dev/null
source "$probe_tree/probe.sh"
write_32bit_probe "$probe_tree/p"
output=$("$probe_tree/p" 2>&1)
probe_status=$?
if [ "$probe_status" -eq 42 ]; then
  echo "the carried probe ran (this kernel runs 32-bit programs)"
elif grep -q 'Exec format error' <<<"$output"; then
  echo "the carried probe was refused: $output (this kernel cannot run 32-bit programs)"
else
  fail "exit $probe_status: $output"
fi

[ "$failures" -eq 0 ] && echo "setup decisions: all cases passed"
[ "$failures" -eq 0 ]
