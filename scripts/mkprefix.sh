#!/usr/bin/env bash
# Creates a headless Wine prefix with the maintenance processor's folders.
# Usage: scripts/mkprefix.sh DIR   (does nothing when DIR is already complete)
set -euo pipefail
dir=$1
# Bump when the prefix set-up changes, so that old templates are made anew.
version=2
[ "$(cat "$dir/.vestra-ready" 2>/dev/null)" = "$version" ] && exit 0
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
export WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1 </dev/null
# Null display driver: windows exist and take messages without an X server.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
# A crashing program ends at once instead of waiting in the debugger.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1 </dev/null
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
wineserver -w
for d in trn600/mp/pc trn600/log trn600/tmp/config; do
    mkdir -p "$dir/drive_c/$d"
done
echo "$version" > "$dir/.vestra-ready"
