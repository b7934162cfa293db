#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, when something is missing: both
# Windows widths (the 32-bit product and the 64-bit build beside it), the tools that build and
# check the Debian package and the zip, and the ru_RU.UTF-8 locale.
# As root it installs with apt-get; otherwise it prints the command to run and fails.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev googletest libbenchmark-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 fonts-wine
          xvfb xauth x11-utils imagemagick python3 clang libclang-rt-14-dev valgrind util-linux
          locales pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
          dpkg-dev file lintian groff-base man-db unzip nlohmann-json3-dev python3-jsonschema)

source "$(dirname "$0")/missing-packages.sh"
missing_packages "${packages[@]}"

if [ ${#missing[@]} -gt 0 ]; then
  cmd="dpkg --add-architecture i386 && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root:  $cmd" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}" >&2
  dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The code-page-1251 tests and the demo run Wine with LC_ALL=ru_RU.UTF-8; without the glibc
# locale Wine still picks code page 1251, but mangles non-ASCII file names.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing locale ru_RU.UTF-8. Run as root:  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8" >&2
    exit 1
  fi
  echo "Generating the ru_RU.UTF-8 locale" >&2
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
