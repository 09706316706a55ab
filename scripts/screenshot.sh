#!/usr/bin/env bash
# Screenshot of the real program under Xvfb.
# Usage: scripts/screenshot.sh OUT.png [BUILD_DIR] [SCENE]
#   SCENE main     the main window after start-up (default)
#   SCENE select   the Select Unit dialog after Start
#   SCENE list     the Select HDD List after ALL HDD
#   SCENE waiting  the "Communicating DKC..." window of a run's first drive command
#   SCENE errors   the Error HDD List after a CF run of every drive with the demo faults
#                  (MTP_TIME_DIVISOR=10 makes the run take about a minute)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$1
build=${2:-$here/build}
scene=${3:-main}
pfx=$(mktemp -d /tmp/vestra-shot.XXXXXX)
cp -a "$build/wine-template/." "$pfx/"
export WINEPREFIX=$pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=:${SHOT_DISPLAY:-77}
screen=640x400
[ "$scene" = errors ] && screen=800x600
Xvfb "$DISPLAY" -screen 0 ${screen}x24 >/dev/null 2>&1 &
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
if [ "$scene" = errors ]; then
    desc="$desc[Sim]\r\nDemoFaults=1\r\n"
fi
printf "$desc" > "$pfx/drive_c/trn600/mp/pc/subsystem.ini"
if [ "$scene" = waiting ] || [ "$scene" = errors ]; then
    wine "$build/bin/DkcSim.exe" --lifetime 900 </dev/null >/dev/null 2>&1 &
    wine "$build/bin/DiagLogSim.exe" --lifetime 900 </dev/null >/dev/null 2>&1 &
fi
wine "$build/bin/Vestra.exe" </dev/null >/dev/null 2>&1 &
# The main window appears (bounded wait), then its start-up check runs.
for _ in $(seq 120); do
    xdotool search --name '^Vestra$' >/dev/null 2>&1 && break
    sleep 0.5
done
sleep "${SHOT_WAIT:-3}"
click() { xdotool mousemove "$1" "$2" click 1; sleep "${3:-2}"; }
case "$scene" in
    select)
        click 440 89 ;;                         # Start: the Select Unit dialog
    list)
        click 440 89; click 305 131 ;;          # Start, ALL HDD: the Select HDD List
    waiting)
        click 440 89; click 305 131
        click 140 334 4 ;;                      # OK of the list: the run's first command
    errors)
        click 440 89; click 305 131; click 140 334 1
        # The list opens when the run ends (bounded wait).
        for _ in $(seq 900); do
            xdotool search --name '^Error HDD List$' >/dev/null 2>&1 && break
            sleep 1
        done
        sleep 2 ;;
esac
crop=520x366+0+0
[ "$scene" = errors ] && crop=650x366+0+0
shot() { import -window root -crop "${SHOT_CROP:-$crop}" +repage "$1"; }
shot "$out"
if [ "$scene" = waiting ]; then
    # Its status text blinks: of three shots a third of a second apart, the one with the most
    # detail shows it.
    for i in 1 2; do
        sleep 0.3
        shot "$pfx/shot.png"
        [ "$(stat -c %s "$pfx/shot.png")" -gt "$(stat -c %s "$out")" ] && cp "$pfx/shot.png" "$out"
    done
fi
echo "screenshot: $out"
