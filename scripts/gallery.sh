#!/usr/bin/env bash
# Pictures of every window of the program, docs/windows/NAME.png (shown in docs/windows.md).
# Runs bench/gallery.cpp (the real program in one process, playing the engineer) under Xvfb in a
# fresh Wine prefix: once against an HV subsystem with both simulators, once against an LT one.
# Usage: scripts/gallery.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
"$here/scripts/setup.sh" "$build" | grep --line-buffered '^setup: '
build=$(cd "$build" && pwd)
out=$here/docs/windows
mkdir -p "$out"

work=$(mktemp -d /tmp/vestra-gallery.XXXXXX)
pfx=$work/prefix
cp -a "$build/wine-template/." "$pfx/"
export WINEPREFIX=$pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Runs at twice the speed; a waiting window's status text then blinks every 250 ms, still long
# enough for the gallery to see it shown.
export MTP_TIME_DIVISOR=2
Xvfb -displayfd 3 -screen 0 1024x768x24 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1; kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
# The template's null driver back to X11; no window manager here, so Wine draws the frames.
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w

ini=$pfx/drive_c/trn600/mp/pc/subsystem.ini
bin=$(winepath -w "$work")
# HV: the built-in subsystem with its demo faults, box 4 of the first DKU equipped (the HDU
# template labelled 10 to 1F first), and acknowledgements slow enough to see the report window.
printf '%s\r\n' '[Subsystem]' 'MessageBox=trace' '[Box.0.4]' 'Equip=1' 'Drives=0-2' \
    '[Sim]' 'DemoFaults=1' '[DiagLog]' 'AckDelayMs=2000' > "$ini"
wine "$build/bin/DkcSim.exe" --lifetime 900 </dev/null &
wine "$build/bin/DiagLogSim.exe" --lifetime 900 </dev/null &
echo "gallery: HV windows and runs (about a minute)"
rc=0
wine "$build/bin/gallery.exe" "$bin" hv </dev/null || rc=$?
wine "$build/bin/SimQuit.exe" </dev/null >/dev/null 2>&1 || true
timeout 30 wineserver -w || wineserver -k || true
if [ $rc -eq 0 ]; then
    printf '%s\r\n' '[Subsystem]' 'MessageBox=trace' 'DkcModel=5' > "$ini"
    echo "gallery: LT windows"
    wine "$build/bin/gallery.exe" "$bin" lt </dev/null || rc=$?
fi
wineserver -w
[ $rc -eq 0 ] || { echo "gallery: failed (exit $rc); nothing written" >&2; exit $rc; }

for bmp in "$work"/*.bmp; do
    name=$(basename "$bmp" .bmp)
    png=$out/$name.png
    convert "$bmp" -strip "$png"
    echo "gallery: ${png#"$here"/} $(identify -format '%wx%h' "$png") $(stat -c %s "$png") bytes"
done
