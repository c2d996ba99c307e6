#!/usr/bin/env bash
# Installs what building and running need, builds the program alone (no tests)
# and starts it: the desktop window when a display is there, otherwise the
# command-line demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh app
APP=1 bash scripts/build.sh >/dev/null
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/quorvane "$@"
fi
exec build/bin/quorvane-cli demo
