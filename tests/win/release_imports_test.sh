#!/usr/bin/env bash
# The release program may import only system DLLs and the msvcrt runtime: no MinGW runtime DLL.
set -euo pipefail
exe=$1
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
echo "$dlls"
allowed=" comctl32.dll gdi32.dll kernel32.dll msvcrt.dll setupapi.dll shell32.dll user32.dll "
status=0
for dll in $dlls; do
  case "$allowed" in *" $dll "*) ;; *) echo "unexpected import: $dll" >&2; status=1 ;; esac
done
grep -qx msvcrt.dll <<<"$dlls" || { echo "msvcrt.dll is not imported" >&2; status=1; }
exit $status
