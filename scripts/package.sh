#!/usr/bin/env bash
# Builds the companion's Debian package from this clone, and only that: no MinGW, no Wine, no
# test tools. Installs what the build needs when it is missing (with sudo when not root), then
# configures, builds and packages the package preset. Install the package it names with
#   sudo apt install ./build/package/vellumo-cli_VERSION_ARCH.deb
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libusb-1.0-0-dev nlohmann-json3-dev python3 dpkg-dev
          file)

source scripts/missing-packages.sh
missing_packages "${packages[@]}"
if [ ${#missing[@]} -gt 0 ]; then
  install=(apt-get install -y --no-install-recommends "${missing[@]}")
  if [ "$(id -u)" -eq 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "Missing packages: ${missing[*]}. Run as root:  apt-get update && ${install[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive "${install[@]}" -qq >/dev/null
fi

# The files in the package carry the time of the last commit, not of this build.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && epoch=$(git log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi
cmake --preset package >/dev/null
cmake --build --preset package
# CPack names the package it made: "CPack: - package: PATH generated."
deb=$(cpack --preset package | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')
[ -f "$deb" ] || { echo "package.sh: cpack made no package" >&2; exit 1; }
echo "Built ${deb#"$PWD"/}; install it with:  sudo apt install ./${deb#"$PWD"/}"
