#!/usr/bin/env bash
# Creates a headless Wine prefix with the maintenance processor's folders.
# Usage: scripts/mkprefix.sh DIR   (does nothing when DIR is already complete)
set -euo pipefail
dir=$1
# Bump when the prefix set-up changes, so that old templates are made anew.
version=3
[ "$(cat "$dir/.vestra-ready" 2>/dev/null)" = "$version" ] && exit 0
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
# Wine wants an absolute prefix path.
dir=$(cd "$(dirname "$dir")" && pwd)/$(basename "$dir")
export WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1 </dev/null
# Null display driver: windows exist and take messages without an X server.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
# A crashing program ends at once instead of waiting in the debugger.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1 </dev/null
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
wineserver -w
# Wine's own fonts (fonts-wine: Marlett draws the title bars' buttons, MS Sans Serif the dialogs).
# Debian's Wine 8 does not find them in its data folder, so the prefix's Fonts folder links them.
for f in /usr/share/wine/fonts/*; do
    if [ -e "$f" ]; then ln -sf "$f" "$dir/drive_c/windows/Fonts/"; fi
done
for d in trn600/mp/pc trn600/log trn600/tmp/config; do
    mkdir -p "$dir/drive_c/$d"
done
echo "$version" > "$dir/.vestra-ready"
