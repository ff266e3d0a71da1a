#!/usr/bin/env bash
# Installs what the build needs, builds the form-post window and starts it.
# Usage: tools/run.sh [Qt program arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j "$(nproc)" --target zq_formpost

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: set DISPLAY (or WAYLAND_DISPLAY), or choose a Qt platform, for example" >&2
  echo "  QT_QPA_PLATFORM=vnc:size=800x600 bash tools/run.sh   (a VNC viewer on port 5900; it listens on every interface)" >&2
  exit 1
fi
exec "$top/build/app/zq_formpost" "$@"
