#!/usr/bin/env bash
# Runs a command on a virtual X display managed by a real window manager, so that windows get the
# frames and the late frame reports of a desktop: xvfb-run's server plus openbox.
set -euo pipefail
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
trap 'kill "${manager:-}" "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done
DISPLAY=":$display" openbox >/dev/null 2>&1 &
manager=$!
sleep 0.5
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$@"
