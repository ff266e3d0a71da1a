#!/usr/bin/env bash
# The program's main job, out of the box: installs what the build needs, builds the form-post
# window and the demo form handler, makes the demo's certificate authority (once, under
# build/demo-ca), starts the handler on a free loopback port and opens the window with its View
# and Host addresses pointed at it. The handler is stopped when the window closes.
# Without a display (no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM) the window is drawn on a
# VNC server that listens on 127.0.0.1 only.
# Usage: tools/run.sh [zq_formpost arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
"$top/tools/setup.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target zq_formpost zq_formhandler

ca="$build/demo-ca"
"$top/tools/demo-ca.sh" "$ca"
run=$(mktemp -d)
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$run"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# Waits up to 10 s for a line matching a pattern in a file a background process writes;
# prints the line's first number.
wait_for_line() {  # wait_for_line <file> <sed pattern with one \(number\)> <pid> <what>
  for _ in $(seq 100); do
    value=$(sed -n "s/$2/\1/p" "$1" 2>/dev/null | head -1)
    if [ -n "$value" ]; then echo "$value"; return 0; fi
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  echo "$4 did not start:" >&2; cat "$1" >&2; return 1
}

"$build/tools/zq_formhandler" --cert "$ca/localhost.pem" --key "$ca/localhost.key" --port 0 >"$run/handler.out" 2>&1 &
pids+=($!)
port=$(wait_for_line "$run/handler.out" '^port \([0-9][0-9]*\)$' "${pids[-1]}" "The demo form handler")
demo="https://localhost:$port/products/quorvex/demos"
echo "Demo form handler: $demo/formpost.asp (on 127.0.0.1 and ::1)"

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  Xvnc -displayfd 3 -localhost -SecurityTypes None -geometry 800x600 -depth 24 3>"$run/display" >"$run/xvnc.log" 2>&1 &
  pids+=($!)
  screen=$(wait_for_line "$run/display" '^\([0-9][0-9]*\)$' "${pids[-1]}" "The VNC server")
  export DISPLAY=":$screen" QT_QPA_PLATFORM=xcb
  echo "No display: connect a VNC viewer to 127.0.0.1:$((5900 + screen)) (this machine only; from"
  echo "elsewhere, tunnel it, e.g. ssh -L 5900:127.0.0.1:$((5900 + screen)) this-host). To use a display"
  echo "or another Qt platform instead, set DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM."
fi

# The window's client alone trusts the demo's CA.
"$build/app/zq_formpost" --view-url "$demo/formpost.asp" --host-url "$demo/serverformpost.asp" \
  --support-url "https://localhost:$port/support/index.asp" --ca-file "$ca/ca.pem" "$@"
