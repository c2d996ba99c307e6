#!/usr/bin/env bash
# Installs, builds and starts Quorvane: the desktop window when a display is
# there, otherwise the command-line demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
bash scripts/build.sh >/dev/null
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/quorvane "$@"
fi
exec build/bin/quorvane-cli demo
