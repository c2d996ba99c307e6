#!/usr/bin/env bash
# Installs what building and running need, builds the program alone (no tests)
# and starts it: the desktop window when a display is there, otherwise the
# command-line demo (then only quorvane-cli is built).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh app
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  APP=1 TARGETS="quorvane quorvane-cli quorvane-open-helper" bash scripts/build.sh >/dev/null
  exec build/bin/quorvane "$@"
fi
APP=1 TARGETS="quorvane-cli quorvane-open-helper" bash scripts/build.sh >/dev/null
exec build/bin/quorvane-cli demo
