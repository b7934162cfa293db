#!/usr/bin/env bash
# The program's main job: builds the demo (the real program, whose discovery finds a simulated
# printer served in-process on named pipes) and starts it under Wine: the 32-bit demo where this
# machine can run 32-bit Windows programs and the set-up could install 32-bit Wine, else the
# 64-bit one (VELLUMO_NO_WIN32=1 forces it).
#   With a display ($DISPLAY set): the window appears; press "Получить данные".
#   Without one: it runs on a virtual X server (Xvfb) in a Wine virtual desktop, presses
#   get-data, waits for the report, saves a PNG screenshot and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

preset=windows64
if [ -f build/win32-unavailable ]; then
  echo "32-bit demo not run: 32-bit Wine is not installed ($(cat build/win32-unavailable))" >&2
elif [ -z "${VELLUMO_NO_WIN32:-}" ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target wine-probe >/dev/null
  if why=$(build/windows/wine-run.sh --can-run 2>&1); then
    preset=windows
  else
    echo "32-bit demo not run: this machine cannot run 32-bit Windows programs (${why:-no reason given})" >&2
  fi
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target VellumoPrinterInfoDemo >/dev/null
build=$PWD/build/$preset
demo=$build/sim/VellumoPrinterInfoDemo.exe
echo "Starting the $([ "$preset" = windows ] && echo 32 || echo 64)-bit demo: $demo" >&2

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
wine_log=$work/wine.log
xvfb_pid=
cleanup() {
  WINEPREFIX=$VELLUMO_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x640x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
if ! xdpyinfo >/dev/null 2>&1; then
  echo "the virtual X server did not start:" >&2
  tail -n 20 "$work/xvfb.log" >&2
  exit 1
fi

# Wine's own messages go to a log, shown when the demo does not get as far as a report.
WINEDEBUG=${WINEDEBUG:-fixme-all} run_wine explorer "/desktop=Vellumo,800x640" "$demo" \
  --press "$ready" >"$wine_log" 2>&1 &
wine_pid=$!
for _ in $(seq 600); do
  [ -e "$ready" ] && break
  kill -0 "$wine_pid" 2>/dev/null || break  # Wine gave up: no use waiting the whole minute
  sleep 0.1
done
if [ ! -e "$ready" ]; then
  if kill -0 "$wine_pid" 2>/dev/null; then
    echo "the demo did not show a report within 60 s; Wine's last words:" >&2
  else
    echo "the demo ended before it showed a report; Wine's last words:" >&2
  fi
  tail -n 20 "$wine_log" >&2
  exit 1
fi
import -window root "$shot"
convert "$shot" -trim +repage "$shot"  # keep the window, not the empty desktop around it
echo "$shot"
