#!/usr/bin/env bash
# The release program may import only system DLLs and the msvcrt runtime: no MinGW runtime DLL.
#   release_imports_test.sh OBJDUMP PROGRAM
set -euo pipefail
objdump=$1 exe=$2
dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
echo "$dlls"
allowed=" comctl32.dll gdi32.dll kernel32.dll msvcrt.dll setupapi.dll shell32.dll user32.dll "
status=0
for dll in $dlls; do
  case "$allowed" in *" $dll "*) ;; *) echo "unexpected import: $dll" >&2; status=1 ;; esac
done
grep -qx msvcrt.dll <<<"$dlls" || { echo "msvcrt.dll is not imported" >&2; status=1; }
exit $status
