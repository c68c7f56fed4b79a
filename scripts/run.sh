#!/bin/sh
# Installs what is missing, builds, and starts the agent. Without a desktop (no DISPLAY) it
# runs headless: no tray icon, no hooks, but the switch link and the log work as usual.
set -eu

cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
if [ -z "${DISPLAY:-}" ]; then
    echo "No DISPLAY: running headless (QT_QPA_PLATFORM=offscreen)."
    export QT_QPA_PLATFORM=offscreen
fi
data="${XDG_DATA_HOME:-$HOME/.local/share}"
echo "Log: $data/VORN/Spanlink/log$(date +%F).txt   Stop with Ctrl-C, or Quit in the tray menu."
exec build/spanlink "$@"
