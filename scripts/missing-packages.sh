# Sourced by the scripts that install what they need: missing_packages NAME... sets the array
# `missing` to those of the Debian packages named that are not installed.
missing_packages() {
  missing=()
  local p status
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
  done
}
