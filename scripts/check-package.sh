#!/usr/bin/env bash
# Checks what is handed out. The Debian package, built as the README says (scripts/package.sh):
# its file list and control fields, the unpacked program (never installed here) alone and among
# emulated USB printers (list, and read --all against the JSON Schema), lintian, the manual page,
# the bash completion, and that --help, the manual page and the completion name the same commands
# and options; and what `cmake --install` of the native build puts under a prefix. The Windows
# zip: its listing, SHA256SUMS against its own files, the same bytes from a second build tree, and
# the zipped companion under Wine where 32-bit Windows programs run. Both: every piece of code of
# others that the build links or compiles into what is handed out is named in its notices (the
# package's copyright file, the zip's NOTICES.txt).
# Usage: scripts/check-package.sh [--tally]
#   --tally: the output goes to stderr, and stdout gets only "PASSED FAILED SKIPPED" at the end.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

if [ "${1:-}" = "--tally" ]; then
  exec 3>&1 1>&2
else
  exec 3>/dev/null
fi

passed=0; failed=0; skipped=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pass() { echo "package check $1: passed"; passed=$((passed + 1)); }
fail() { echo "package check $1: FAILED: $2" >&2; failed=$((failed + 1)); }
skip() { echo "package check $1: skipped: $2"; skipped=$((skipped + 1)); }

# check NAME COMMAND...: one check, passed when the command succeeds; what it says is shown.
check() {
  local name=$1 said; shift
  if said=$("$@" 2>&1); then
    pass "$name"
    [ -z "$said" ] || sed 's/^/    /' <<<"$said"
  else
    fail "$name" "${said:-no reason given}"
  fi
}

# The project's version less its fourth number: 1.6.0.0 -> 1.6.0.
version=$(sed -nE 's/^project\(VellumoPrinterInfo VERSION ([0-9.]+)\.[0-9]+ .*/\1/p' CMakeLists.txt)
deb=build/package/vellumo-cli_${version}_amd64.deb
zip=build/windows/VellumoPrinterInfo-${version}-win32.zip
unpacked=$work/deb
cli=$unpacked/usr/bin/vellumo-cli
completion=$unpacked/usr/share/bash-completion/completions/vellumo-cli

# ---- the Debian package ----

# Exactly these entries, with these modes and owners (in the order of their paths).
expected_files() {
  cat <<'EOF'
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/udev/
drwxr-xr-x root/root ./lib/udev/rules.d/
-rw-r--r-- root/root ./lib/udev/rules.d/70-vellumo-printers.rules
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/vellumo-cli
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/bash-completion/
drwxr-xr-x root/root ./usr/share/bash-completion/completions/
-rw-r--r-- root/root ./usr/share/bash-completion/completions/vellumo-cli
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/vellumo-cli/
-rw-r--r-- root/root ./usr/share/doc/vellumo-cli/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/vellumo-cli/copyright
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/vellumo-cli
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/vellumo-cli.1.gz
EOF
}

file_list() {
  diff <(expected_files) <(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | sort -k 3)
}

# Dependencies found by dpkg-shlibdeps (libusb among them), and the maintainer scripts.
control() {
  local fields depends field
  fields=$(dpkg-deb -f "$deb") && depends=$(dpkg-deb -f "$deb" Depends) || return 1
  for field in "Package: vellumo-cli" "Version: $version" "Architecture: amd64"; do
    grep -qx "$field" <<<"$fields" || { echo "no '$field'"; return 1; }
  done
  for field in 'libusb-1.0-0 (>=' 'libc6 (>='; do
    grep -qF "$field" <<<"$depends" || { echo "Depends lacks '$field': $depends"; return 1; }
  done
  dpkg-deb -I "$deb" postinst >/dev/null || { echo "no postinst"; return 1; }
}

unpacked_version() {
  local said
  said=$("$cli" --version) || return 1
  [ "$said" = "vellumo-cli $version" ] || { echo "--version said '$said'"; return 1; }
}

# list --json RUNNER...: prints the IDs of the JSON array `list --json` gives (exit 0, nothing
# but an array of objects with an id).
list_ids() {
  local json
  json=$("$@" "$cli" list --json 2>/dev/null) || { echo "list --json exited $?"; return 1; }
  python3 -c '
import json, sys
printers = json.loads(sys.argv[1])
assert isinstance(printers, list), "not an array"
for printer in printers:
    print(printer["id"])' "$json" | sort
}

list_alone() {
  local ids
  ids=$(list_ids env) || { echo "$ids"; return 1; }
  [ -z "$ids" ] || echo "(this machine has supported printers attached: $ids)"
}

# The stand's default printers: a good one on port 1-1 and a silent one on 1-2.
stand=(umockdev-wrapper build/native/sim/usb-printer-stand --)
list_emulated() {
  local ids
  ids=$(list_ids "${stand[@]}") || { echo "$ids"; return 1; }
  [ "$(tr '\n' ' ' <<<"$ids")" = "1-1 1-2 " ] || { echo "list gave '$ids'"; return 1; }
}

# read --all --json among the stand's printers: a line each, valid against the companion's JSON
# Schema (Debian's python3-jsonschema), the good one read and the silent one named, and the exit
# code the silent one's (5).
read_all_emulated() {
  local lines status=0
  lines=$("${stand[@]}" "$cli" read --all --json 2>/dev/null) || status=$?
  [ "$status" -eq 5 ] || { echo "read --all --json exited $status, not 5"; return 1; }
  /usr/bin/python3 -I -c '
import json, sys
import jsonschema
schema = json.load(open(sys.argv[1], encoding="utf-8"))
del schema["anyOf"]
schema["$ref"] = "#/$defs/reading"
lines = [json.loads(line) for line in sys.argv[2].split("\n")]
for line in lines:
    jsonschema.validate(line, schema, cls=jsonschema.Draft202012Validator)
got = sorted((l["device"]["id"], l["ok"], l.get("failure", {}).get("name")) for l in lines)
assert got == [("1-1", True, None), ("1-2", False, "no-acknowledgement")], got' \
    docs/vellumo-cli.schema.json "$lines"
}

# lintian's errors fail; everything it says is shown.
run_lintian() { lintian --fail-on error --info "$deb"; }

# Not a word from groff's warnings nor from man's.
manual_page() {
  local page=$unpacked/usr/share/man/man1/vellumo-cli.1.gz said
  said=$(zcat "$page" | groff -ww -man -z 2>&1) || { echo "groff failed: $said"; return 1; }
  [ -z "$said" ] || { echo "groff: $said"; return 1; }
  said=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || return 1
  [ -z "$said" ] || { echo "man: $said"; return 1; }
}

# completions_for WORD...: what the completion offers for the last of the words, one a line.
completions_for() {
  bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vellumo_cli
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
offers() {  # offers WANTED WORD...: the completion offers exactly WANTED (words, any order)
  local wanted=$1 got; shift
  got=$(completions_for "$@" | sed '/^$/d' | sort | tr '\n' ' ')
  wanted=$(tr ' ' '\n' <<<"$wanted" | sed '/^$/d' | sort | tr '\n' ' ')
  [ "$got" = "$wanted" ] || { echo "'$*' offered '$got', not '$wanted'"; return 1; }
}

help_text() { "$cli" --help | sed '/^Faults/,$d'; }
help_commands() { help_text | sed -nE 's/^  ([a-z]+)( .*)?$/\1/p'; }
help_options() { help_text | grep -oE -- '--[a-z][a-z-]*' | sort -u; }
command_options() { help_text | grep -E "^  $1( |$)" | grep -oE -- '\[--[a-z-]+' | tr -d '['; }

# The commands and each command's options as --help gives them, offered by the completion.
completion() {
  offers "$(help_commands) --version --help" "$cli" "" || return 1
  local command
  for command in $(help_commands); do
    offers "$(command_options "$command")" "$cli" "$command" -- || return 1
  done
  offers "short-acknowledgement short-chunk short-header" "$cli" simulate --fault short- ||
    return 1
  # The printers attached here (usually none: then no ID and no file name), and quickly.
  local from=$SECONDS
  offers "$(list_ids env)" "$cli" read --device "" || return 1
  [ $((SECONDS - from)) -le 2 ] || { echo "--device took $((SECONDS - from)) s"; return 1; }
}

completion_ids() {
  local got
  got=$("${stand[@]}" bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _vellumo_cli; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$cli" read --device "1-" |
    sort | tr '\n' ' ')
  [ "$got" = "1-1 1-2 " ] || { echo "--device 1- offered '$got'"; return 1; }
}

# Every command and option --help names, in the manual page too.
manual_names_all() {
  local page name
  page=$(zcat "$unpacked/usr/share/man/man1/vellumo-cli.1.gz" | sed 's/\\-/-/g')
  for name in $(help_commands); do
    grep -qE "^\.B $name\$" <<<"$page" || { echo "the manual page lacks '$name'"; return 1; }
  done
  for name in $(help_options); do
    grep -qe "$name" <<<"$page" || { echo "the manual page lacks '$name'"; return 1; }
  done
}

# cmake --install of the native build: the companion and what goes with it, nothing else.
native_install() {
  local prefix=$work/prefix
  cmake --install build/native --prefix "$prefix" >/dev/null || return 1
  diff <(printf '%s\n' bin/vellumo-cli lib/udev/rules.d/70-vellumo-printers.rules \
           share/bash-completion/completions/vellumo-cli share/man/man1/vellumo-cli.1) \
       <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
}

# ---- the code of others in what is handed out ----

# linked_files BUILD TARGET: the files from outside this tree that the linker put into TARGET,
# one a line: each object it loaded and each archive one of whose members it took (a shared
# library is a dependency, not a part). The link is run again with a map, into a file of ours.
linked_files() {
  local build=$1 target=$2 command map=$work/link.map
  command=$(ninja -C "$build" -t commands "$target" | tail -n 1) || return 1
  command=${command#': && '}
  command=${command%' && :'}
  command=$(sed -E "s# -o [^ ]+# -o $work/relinked#; s# -Wl,--out-implib,[^ ]+##g" <<<"$command")
  (cd "$build" && eval "$command -Wl,-Map=$map") >&2 || return 1
  { sed -nE 's/^LOAD (.*\.o(bj)?)$/\1/p' "$map"
    sed -n '1,/^Memory Configuration/p' "$map" | grep -oE '^[^ (]+\.a\(' | tr -d '('
  } | (cd "$build" && xargs -r realpath) | grep -v "^$PWD/" | sort -u
}

# compiled_headers BUILD: the headers from outside this tree that the objects of what is handed
# out include (ninja's dependency log; the tests' objects left out), one a line.
compiled_headers() {
  ninja -C "$1" -t deps |
    awk '/: #deps/ { object = $1 }
         /^    / && object !~ /^(tests|googletest|bench|fuzz)\// { print $1 }' |
    sort -u | xargs -r realpath | grep -v "^$PWD/" | sort -u
}

# piece_of PACKAGE FILE: the name the notices give the code of PACKAGE that FILE brings, "-"
# when nothing of it is compiled in (declarations of an interface only), "?" when not known.
piece_of() {
  case $1 in
    nlohmann-json3-dev) echo "nlohmann-json" ;;
    libc6-dev) echo "GNU C Library" ;;
    libstdc++-*-dev | libgcc-*-dev | g++-mingw-w64-* | gcc-mingw-w64-*)
      echo "GCC runtime libraries" ;;
    mingw-w64-common | mingw-w64-*-dev)
      case ${2##*/} in
        libpthread.a | libwinpthread* | pthread*.h | sched.h | semaphore.h) echo "winpthreads" ;;
        *) echo "MinGW-w64 runtime" ;;
      esac ;;
    # The kernel's and libusb's interfaces: declarations and constants; libusb-1.0 is a shared
    # library the package depends on.
    linux-libc-dev | libusb-1.0-0-dev) echo "-" ;;
    *) echo "?" ;;
  esac
}

# owners FILE...: "FILE<TAB>PACKAGE" for each file dpkg knows (by its path, or on a merged /usr
# by the path without /usr that the package gave it).
owners() {
  { printf '%s\n' "$@" | xargs -r dpkg -S 2>/dev/null
    printf '%s\n' "$@" | sed -n 's|^/usr/|/|p' | xargs -r dpkg -S 2>/dev/null | sed 's|: /|: /usr/|'
  } | sed -E 's/^([^:, ]+)[^ ]*: (\/.*)$/\2\t\1/' | sort -u -t "$(printf '\t')" -k 1,1
}

# pieces_used BUILD TARGET...: "PIECE<TAB>PACKAGE<TAB>FILE" for each file of others that the
# targets link or compile in, with the Debian package it comes from.
pieces_used() {
  local -x LC_ALL=C
  local build=$1 target files; shift
  files=$({ for target in "$@"; do
              linked_files "$build" "$target" || echo "/link-of-$target-failed"
            done
            compiled_headers "$build"; } | sort -u)
  # shellcheck disable=SC2086  # the paths hold no spaces
  join -t "$(printf '\t')" -a 1 <(echo "$files") <(owners $files) |
    while IFS=$'\t' read -r file package; do
      printf '%s\t%s\t%s\n' "$(piece_of "${package:-none}" "$file")" "${package:-none}" "$file"
    done
}

# names_all_pieces NOTICES BUILD TARGET...: each piece of others that the targets hold is named
# in the NOTICES file; a file of an unknown package fails, to be named there and above.
names_all_pieces() {
  local notices=$1 used piece unnamed=0; shift
  [ -f "$notices" ] || { echo "no $notices"; return 1; }
  grep -q "All rights reserved\." "$notices" || { echo "our own code is not said ours"; return 1; }
  used=$(pieces_used "$@") || return 1
  if grep -q '^?' <<<"$used"; then
    echo "code of others not known to this check (name it in the notices and in piece_of):"
    awk -F '\t' '$1 == "?" { files[$2]++; file[$2] = $3 }
                  END { for (p in files) print "  " p ": " files[p] " files, such as " file[p] }' \
      <<<"$used"
    return 1
  fi
  while IFS= read -r piece; do
    if grep -qF -- "$piece" "$notices"; then
      echo "$piece: named ($(grep -c "^$piece	" <<<"$used") files)"
    else
      echo "$piece: NOT named in ${notices##*/}"
      unnamed=1
    fi
  done < <(cut -f 1 <<<"$used" | grep -vx -- - | sort -u)
  return "$unnamed"
}

package_checks() {
  if ! scripts/package.sh >"$work/package.log" 2>&1; then
    fail package-build "scripts/package.sh failed: $(tail -n 20 "$work/package.log")"
    return
  fi
  pass package-build
  check file-list file_list
  check control control
  if ! dpkg-deb -x "$deb" "$unpacked"; then fail unpack "dpkg-deb -x failed"; return; fi
  check unpacked-version unpacked_version
  check notices-deb names_all_pieces "$unpacked/usr/share/doc/vellumo-cli/copyright" \
    build/package cli/vellumo-cli
  check unpacked-list-alone list_alone
  check lintian run_lintian
  check manual-page manual_page
  check manual-page-names-all manual_names_all
  check completion completion
  # The emulated printers and the install rules come from the native build (tests on).
  if ! { cmake --preset native >/dev/null &&
         cmake --build --preset native --target usb-printer-stand vellumo-cli >/dev/null; }; then
    fail native-build "the native build failed"
    return
  fi
  check unpacked-list-emulated list_emulated
  check unpacked-read-all-emulated read_all_emulated
  check completion-printer-ids completion_ids
  check native-install native_install
}

# ---- the Windows zip ----

zip_listing() {
  diff <(printf '%s\n' VellumoPrinterInfo.exe vellumo-cli.exe README.txt NOTICES.txt SHA256SUMS) \
       <(unzip -Z1 "$zip")
}

# SHA256SUMS checks against the unzipped files, and the program is the release program.
zip_sums() {
  local into=$work/zip
  mkdir -p "$into" && unzip -q "$zip" -d "$into" || return 1
  (cd "$into" && sha256sum --strict -c SHA256SUMS) || return 1
  cmp "$into/VellumoPrinterInfo.exe" build/windows/release/VellumoPrinterInfo.exe
}

# The same sources in another tree (tests off: only what the zip holds) give the same bytes.
zip_again() {
  local again=build/zip-again
  cmake --preset windows -B "$again" -DVELLUMO_BUILD_TESTS=OFF >/dev/null || return 1
  cmake --build "$again" --target zip >/dev/null || return 1
  sha256sum "$zip" "$again/${zip##*/}"
  cmp "$zip" "$again/${zip##*/}"
}

zipped_companion() {
  local said
  said=$(build/windows/wine-run.sh "$work/zip/vellumo-cli.exe" --version </dev/null \
           2>/dev/null | tr -d '\r') || return 1
  [ "$said" = "vellumo-cli $version" ] || { echo "--version said '$said'"; return 1; }
}

zip_checks() {
  if ! { cmake --preset windows >/dev/null &&
         cmake --build --preset windows --target zip wine-probe >"$work/zip.log" 2>&1; }; then
    fail zip-build "$(tail -n 20 "$work/zip.log")"
    return
  fi
  pass zip-build
  check zip-listing zip_listing
  check zip-sums zip_sums
  check notices-zip names_all_pieces "$work/zip/NOTICES.txt" build/windows \
    app/VellumoPrinterInfo.exe cli/vellumo-cli.exe
  check zip-reproducible zip_again
  local why
  if [ -n "${VELLUMO_NO_WIN32:-}" ]; then
    skip zipped-companion "VELLUMO_NO_WIN32 is set"
  elif [ -f build/win32-unavailable ]; then
    skip zipped-companion "32-bit Wine is not installed: $(cat build/win32-unavailable)"
  elif ! why=$(build/windows/wine-run.sh --can-run 2>&1); then
    skip zipped-companion "this machine cannot run 32-bit Windows programs under Wine: $why"
  else
    check zipped-companion zipped_companion
  fi
}

package_checks
zip_checks
echo "package checks: $passed passed, $failed failed, $skipped skipped"
echo "$passed $failed $skipped" >&3
[ "$failed" -eq 0 ]
