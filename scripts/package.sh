#!/usr/bin/env bash
# Builds the companion's Debian package from this clone, and only that: no MinGW, no Wine, no
# test tools. Installs what the build needs when it is missing (with sudo when not root), then
# configures, builds and packages the package preset. Install the package it names with
#   sudo apt install ./build/package/vellumo-cli_VERSION_ARCH.deb
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libusb-1.0-0-dev nlohmann-json3-dev python3 dpkg-dev
          file)

source scripts/apt.sh
missing_packages "${packages[@]}"
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "Missing packages: ${missing[*]}. Run as root:  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}" >&2
  # An index that fails (another architecture's mirror out of step) does not stop the install.
  apt_update "${sudo[@]}"
  apt_install "${sudo[@]}" -- "${missing[@]}" ||
    { echo "cannot install ${missing[*]}: $install_errors${update_errors:+ (apt-get update: $update_errors)}" >&2; exit 1; }
  [ -z "$update_errors" ] || echo "apt-get update failed, the install went on without it: $update_errors" >&2
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
