# Sourced by the scripts that install what they need from Debian's archive.

# missing_packages NAME...: sets the array `missing` to those of the packages named that are not
# installed.
missing_packages() {
  missing=()
  local p status
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
  done
}

# apt_errors FILE: apt's own reasons in its output FILE, the "E:" lines joined into one line.
apt_errors() {
  sed -n 's/^E: //p' "$1" | paste -sd ' ' -
}

# apt_update [SUDO...]: refreshes the package indexes. An index that fails to download (one
# architecture's mirror out of step with the others, say) is not by itself the end: the install
# that follows decides. Sets `update_errors` to apt's reasons, empty when all went well; the
# caller says them where they matter.
apt_update() {
  local log; log=$(mktemp)
  update_errors=
  if ! "$@" apt-get update -qq >"$log" 2>&1; then
    update_errors=$(apt_errors "$log")
    [ -n "$update_errors" ] || update_errors=$(tail -n 1 "$log")
  fi
  rm -f "$log"
}

# apt_install [SUDO...] -- PACKAGE...: installs them, quietly. On failure returns 1 with
# `install_errors` set to apt's reasons.
apt_install() {
  local sudo=() log status=0
  while [ "$1" != -- ]; do sudo+=("$1"); shift; done
  shift
  log=$(mktemp)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1 || status=$?
  install_errors=$(apt_errors "$log")
  [ -n "$install_errors" ] || install_errors=$(tail -n 1 "$log")
  rm -f "$log"
  return "$status"
}
