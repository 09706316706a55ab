#!/usr/bin/env bash
# Screenshot of the real main window under Xvfb.
# Usage: scripts/screenshot.sh OUT.png [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$1
build=${2:-$here/build}
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
printf '[Subsystem]\r\nMessageBox=trace\r\n' > "$pfx/drive_c/trn600/mp/pc/subsystem.ini"
wine "$build/bin/Vestra.exe" </dev/null >/dev/null 2>&1 &
sleep "${SHOT_WAIT:-6}"
import -window root -crop ${SHOT_CROP:-520x320+0+0} "$out"
echo "screenshot: $out"
