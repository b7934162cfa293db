#!/usr/bin/env bash
# The program's main job: builds the demo (the real program, whose discovery finds a simulated
# printer served in-process on named pipes) and starts it under Wine.
#   With a display ($DISPLAY set): the window appears; press "Получить данные".
#   Without one: it runs on a virtual X server (Xvfb) in a Wine virtual desktop, presses
#   get-data, waits for the report, saves a PNG screenshot and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target VellumoPrinterInfoDemo >/dev/null

build=$PWD/build/windows
demo=$build/app/VellumoPrinterInfoDemo.exe
# A prefix with the X11 graphics driver, apart from the tests' headless one.
export VELLUMO_WINEPREFIX=$build/wineprefix-x11
export VELLUMO_WINE_GRAPHICS=x11
wine_run=$build/wine-run.sh
# Wine takes the ANSI code page from LC_ALL: 1251, as on a Russian system.
run_wine() { LC_ALL=ru_RU.UTF-8 "$wine_run" "$@"; }

if [ -n "${DISPLAY:-}" ] && [ "${1:-}" != "--screenshot" ]; then
  run_wine "$demo"
  exit
fi

shot=${VELLUMO_SCREENSHOT:-$build/screenshot.png}
work=$(mktemp -d)
ready=$work/ready
xvfb_pid=
cleanup() {
  WINEPREFIX=$VELLUMO_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x640x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

run_wine explorer "/desktop=Vellumo,800x640" "$demo" --press "$ready" >/dev/null 2>&1 &
for _ in $(seq 600); do [ -e "$ready" ] && break; sleep 0.1; done
if [ ! -e "$ready" ]; then
  echo "the demo did not show a report within 60 s" >&2
  exit 1
fi
import -window root "$shot"
convert "$shot" -trim +repage "$shot"  # keep the window, not the empty desktop around it
echo "$shot"
