#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, when something is missing: both
# Windows widths (the 32-bit product and the 64-bit build beside it), the tools that build and
# check the Debian package and the zip, and the ru_RU.UTF-8 locale.
# As root it installs with apt-get; otherwise it prints the command to run and fails.
#
# Everything 64-bit comes first and must install. The 32-bit part (Debian's i386 architecture and
# 32-bit Wine) is a step of its own, taken only where the kernel runs 32-bit programs; when it
# cannot be had (no 32-bit support, an archive that will not give it), setup says why in one line,
# writes the reason to build/win32-unavailable for scripts/test.sh and scripts/run.sh, and
# succeeds: only the 32-bit Wine tests and the 32-bit demo need it.
# VELLUMO_NO_WIN32=1 leaves the 32-bit part out. VELLUMO_32BIT_PROBE names another program to
# try in place of the tiny 32-bit one carried here (for the tests of these decisions).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/apt.sh"

packages=(cmake ninja-build g++ libgtest-dev googletest libbenchmark-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 wine
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 fonts-wine
          xvfb xauth x11-utils imagemagick python3 clang libclang-rt-14-dev valgrind util-linux
          locales pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
          dpkg-dev file lintian groff-base man-db unzip nlohmann-json3-dev python3-jsonschema)
packages32=(wine32:i386)
unavailable=$root/build/win32-unavailable

is_root() { [ "$(id -u)" -eq 0 ]; }

install_64bit() {
  missing_packages "${packages[@]}"
  [ ${#missing[@]} -gt 0 ] || return 0
  if ! is_root; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root:  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}" >&2
  apt_update
  if ! apt_install -- "${missing[@]}"; then
    echo "cannot install ${missing[*]}: $install_errors${update_errors:+ (apt-get update: $update_errors)}" >&2
    return 1
  fi
  [ -z "$update_errors" ] || echo "apt-get update failed, the install went on without it: $update_errors" >&2
}

# A static 32-bit x86 program of 96 bytes that exits with 42: an ELF header, one loadable
# segment, and `mov eax, 1; mov ebx, 42; int 0x80` (the exit system call).
write_32bit_probe() {
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00'\
'\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' \
    >"$1"
  chmod +x "$1"
}

# Whether the kernel runs 32-bit programs, found by running one (in the build tree: /tmp may be
# mounted noexec). 0: it does; 1: it does not (`why` says so); 2: the probe could not tell.
runs_32bit_programs() {
  local probe output status=0
  mkdir -p "$root/build"
  probe=${VELLUMO_32BIT_PROBE:-}
  if [ -z "$probe" ]; then
    probe=$root/build/probe-32bit
    write_32bit_probe "$probe"
  fi
  output=$("$probe" 2>&1) || status=$?
  [ -n "${VELLUMO_32BIT_PROBE:-}" ] || rm -f "$probe"
  [ "$status" -eq 42 ] && return 0
  why=$(tail -n 1 <<<"$output")
  case "$output" in *"Exec format error"*) return 1 ;; esac
  return 2
}

# The 32-bit part, where it can run and the archive gives it; else the reason it was left out.
install_32bit() {
  local why=
  if [ -n "${VELLUMO_NO_WIN32:-}" ]; then
    echo "VELLUMO_NO_WIN32 is set"; return
  fi
  runs_32bit_programs
  case $? in
    1) echo "this kernel cannot run 32-bit programs (${why:-Exec format error}), so nothing of i386 was installed"; return ;;
    2) echo "32-bit probe could not tell ($why); trying the 32-bit packages anyway" >&2 ;;
  esac
  missing_packages "${packages32[@]}"
  [ ${#missing[@]} -gt 0 ] || return 0
  if ! is_root; then
    echo "Missing 32-bit packages: ${missing[*]}. Run as root:  dpkg --add-architecture i386 && apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    echo "${missing[*]} not installed (not root)"; return
  fi
  echo "Installing: ${missing[*]}" >&2
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || { echo "dpkg cannot add the i386 architecture"; return; }
  fi
  apt_update
  if ! apt_install -- "${missing[@]}"; then
    echo "the archive would not give ${missing[*]}: $install_errors${update_errors:+ (apt-get update: $update_errors)}"
  fi
}

install_64bit || exit 1

mkdir -p "$root/build"
reason=$(install_32bit)
if [ -n "$reason" ]; then
  echo "32-bit Windows tests and demo left out: $reason" >&2
  echo "$reason" >"$unavailable"
else
  rm -f "$unavailable"
fi

# The code-page-1251 tests and the demo run Wine with LC_ALL=ru_RU.UTF-8; without the glibc
# locale Wine still picks code page 1251, but mangles non-ASCII file names.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  if ! is_root; then
    echo "Missing locale ru_RU.UTF-8. Run as root:  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8" >&2
    exit 1
  fi
  echo "Generating the ru_RU.UTF-8 locale" >&2
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || exit 1
fi
