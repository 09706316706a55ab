#!/usr/bin/env bash
# Screenshot of the real program under Xvfb.
# Usage: scripts/screenshot.sh OUT.png [BUILD_DIR] [SCENE]
#   SCENE main     the main window after start-up (default)
#   SCENE select   the Select Unit dialog after Start
#   SCENE list     the Select HDD List after ALL HDD
#   SCENE waiting  the "Communicating DKC..." window of a run's first drive command
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$1
build=${2:-$here/build}
scene=${3:-main}
pfx=$(mktemp -d /tmp/vestra-shot.XXXXXX)
cp -a "$build/wine-template/." "$pfx/"
export WINEPREFIX=$pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=:${SHOT_DISPLAY:-77}
Xvfb "$DISPLAY" -screen 0 640x400x24 >/dev/null 2>&1 &
xvfb=$!
trap 'WINEPREFIX=$pfx wineserver -k >/dev/null 2>&1; kill $xvfb 2>/dev/null; rm -rf "$pfx"' EXIT
sleep 1
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
# No window manager here: Wine draws the frames itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w
desc="[Subsystem]\r\nMessageBox=trace\r\n"
if [ "$scene" = waiting ]; then
    # A slow first command keeps its waiting window up.
    desc="$desc[Fault]\r\nCHECKBYPASS=slow:20000\r\n"
fi
printf "$desc" > "$pfx/drive_c/trn600/mp/pc/subsystem.ini"
if [ "$scene" = waiting ]; then
    wine "$build/bin/DkcSim.exe" --lifetime 120 </dev/null >/dev/null 2>&1 &
    wine "$build/bin/DiagLogSim.exe" --lifetime 120 </dev/null >/dev/null 2>&1 &
fi
wine "$build/bin/Vestra.exe" </dev/null >/dev/null 2>&1 &
sleep "${SHOT_WAIT:-6}"
click() { xdotool mousemove "$1" "$2" click 1; sleep "${3:-2}"; }
case "$scene" in
    select)
        click 440 89 ;;                         # Start: the Select Unit dialog
    list)
        click 440 89; click 305 131 ;;          # Start, ALL HDD: the Select HDD List
    waiting)
        click 440 89; click 305 131
        click 140 317 4 ;;                      # OK of the list: the run's first command
esac
import -window root -crop "${SHOT_CROP:-520x320+0+0}" "$out"
echo "screenshot: $out"
