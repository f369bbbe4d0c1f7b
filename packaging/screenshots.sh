#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes the window screenshots in docs/ at the normal scale and at twice the density, with a
# small page fetched from a local server, under a private Xvfb display.
#   packaging/screenshots.sh [build dir]
# Needs Xvfb, xdotool, python3 and ImageMagick's `import`. The page is served on port 80 so
# that the window shows the usual port, which needs root or the right to bind low ports.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program=${1:-"$repo_root/build"}/app/tarnwick
display=:${TARNWICK_SCREENSHOT_DISPLAY:-97}
scratch=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$scratch"
}
trap cleanup EXIT

cat >"$scratch/index.html" <<'PAGE'
<html>
<head><title>Tarnwick</title></head>
<body>
<h1>Hello from Tarnwick</h1>
<p>This page was fetched over plain HTTP/1.0
and is shown exactly as the server sent it.</p>
</body>
</html>
PAGE
python3 -m http.server --bind 127.0.0.1 --directory "$scratch" 80 >/dev/null 2>&1 &
pids+=($!)
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 1

shoot() { # scale, output file
    DISPLAY=$display QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$1 "$program" &
    local app=$!
    local window=""
    for _ in $(seq 50); do
        window=$(DISPLAY=$display xdotool search --name '^Tarnwick$' 2>/dev/null | head -n1) && [ -n "$window" ] && break
        sleep 0.1
    done
    [ -n "$window" ] || { echo "the window did not appear" >&2; kill "$app"; return 1; }
    sleep 0.5
    DISPLAY=$display xdotool windowactivate --sync "$window" 2>/dev/null || true
    DISPLAY=$display xdotool mousemove --window "$window" 1 1 click 1
    DISPLAY=$display xdotool key --window "$window" Tab ctrl+a
    DISPLAY=$display xdotool type --window "$window" 'localhost/index.html'
    DISPLAY=$display xdotool key --window "$window" Tab Tab space
    sleep 1.5
    DISPLAY=$display import -window "$window" "$2"
    kill "$app"
    wait "$app" 2>/dev/null || true
}

shoot 1 "$repo_root/docs/tarnwick-window.png"
shoot 2 "$repo_root/docs/tarnwick-window-2x.png"
