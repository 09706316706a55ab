#!/usr/bin/env bash
# The program's own window for an engineer (scripts/run.sh --interactive): installs and builds
# what is missing, makes a fresh Wine prefix with the main job's simulated subsystem and its demo
# faults, starts both simulators and opens Vestra.exe on $DISPLAY with message boxes shown. When
# Vestra ends, so do the simulators and the prefix's Wine server.
# Usage: scripts/interactive.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}

no_display() {
    local why="DISPLAY is empty"
    [ -z "${DISPLAY:-}" ] || why="display $DISPLAY does not answer"
    echo "run: no X display to open the window on ($why): use a desktop session or ssh -X, or a virtual display: xvfb-run -a scripts/run.sh --interactive" >&2
    exit 1
}
[ -n "${DISPLAY:-}" ] || no_display
if command -v xdpyinfo >/dev/null; then xdpyinfo >/dev/null 2>&1 || no_display; fi

log=$(mktemp /tmp/vestra-setup.XXXXXX)
if ! "$here/scripts/setup.sh" "$build" 2>&1 | tee "$log" | grep --line-buffered '^setup: '; then
    echo "run: the set-up failed; its output is in $log" >&2
    exit 1
fi
rm -f "$log"
xdpyinfo >/dev/null 2>&1 || no_display
build=$(cd "$build" && pwd)

pfx=$build/interactive-prefix
echo "run: fresh Wine prefix $pfx"
rm -rf "$pfx"
cp -a "$build/wine-template" "$pfx"
export WINEPREFIX=$pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The template's null driver back to X11; without a window manager Wine draws the frames itself.
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 </dev/null || true
if ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
fi
# The server and the desktop started by reg end, so that the next start uses X11.
wineserver -w
# The main job's subsystem and demo faults; an engineer sees the message boxes.
printf '[Subsystem]\r\nMessageBox=show\r\n[Sim]\r\nDemoFaults=1\r\n' > "$pfx/drive_c/trn600/mp/pc/subsystem.ini"

# Ends both simulators (their quit events), then this prefix's server.
stop() {
    wine "$build/bin/SimQuit.exe" </dev/null >/dev/null 2>&1 || true
    timeout 30 wineserver -w || wineserver -k || true
}
echo "run: starting the controller (AP 09) and diagnosis log (AP 05) simulators"
wine "$build/bin/DkcSim.exe" --lifetime 86400 </dev/null &
wine "$build/bin/DiagLogSim.exe" --lifetime 86400 </dev/null &
echo "run: Vestra.exe on display $DISPLAY (Start tests the drives you choose; Ctrl+Shift+D asks for the debug mode's access code)"
wine "$build/bin/Vestra.exe" </dev/null &
vestra=$!
# Ctrl+C ends the session: the simulators as usual, Vestra and the rest of the prefix by force.
trap 'echo; wine "$build/bin/SimQuit.exe" </dev/null >/dev/null 2>&1; wineserver -k; exit 130' INT TERM
rc=0
wait $vestra || rc=$?
trap - INT TERM
echo "run: Vestra ended; stopping the simulators"
stop
echo "Maintenance trace log:   $pfx/drive_c/trn600/log/mtptrace.log"
echo "Diagnosis log:           $pfx/drive_c/trn600/log/diaglog.txt"
echo "Communication trace:     $pfx/drive_c/trn600/mp/pc/mtp_cmlb.dmp"
echo "Message history:         $pfx/drive_c/trn600/mp/pc/history.dmp"
exit $rc
