#!/usr/bin/env bash
# The main job: installs what is missing, builds, and serves one support
# session of this host's X display to a browser viewer.
#
#   scripts/demo.sh            runs until Ctrl-C
#   KVD_DEMO_SECONDS=30 scripts/demo.sh   stops by itself after 30 s
#   KVD_DEMO_TERMINAL_ONLY=1 scripts/demo.sh   a terminal-only session: no screen, no X needed
#
# Without a DISPLAY an Xvfb (1280x720) with a clock window stands in for the
# host screen. Open the printed viewer URL in Chromium or Firefox on this host.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

bin=build/kelvandrum-remote
port=${KVD_DEMO_PORT:-8080}
session=${KVD_DEMO_SESSION:-demo-session}
export KELVANDRUM_SESSION_TOKEN=${KELVANDRUM_SESSION_TOKEN:-demo-token}
export KELVANDRUM_LOG_LEVEL=${KELVANDRUM_LOG_LEVEL:-info}
export KELVANDRUM_LOG_FILE=${KELVANDRUM_LOG_FILE:-$top/build/demo.log}

pids=()
cleanup() {
    # Newest first: X clients go before their X server.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

echo "== permission probe"
"$bin" --check-permissions

engine_args=()
if [ -n "${KVD_DEMO_TERMINAL_ONLY:-}" ]; then
    engine_args+=(--terminal-only)
elif [ -z "${DISPLAY:-}" ]; then
    exec {fd}<> <(:)
    Xvfb -displayfd "$fd" -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    read -r -t 20 -u "$fd" dnum
    export DISPLAY=":$dnum"
    echo "== no DISPLAY: serving a virtual screen on $DISPLAY"
    if command -v xclock >/dev/null; then xclock -update 1 -geometry 400x400+440+160 & pids+=($!); fi
fi

echo "== development signaling server on 127.0.0.1:$port"
node tools/viewer/server.js --host 127.0.0.1 --port "$port" >build/demo-server.out 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q KVD_DEVSERVER_LISTENING build/demo-server.out && break; sleep 0.1; done
grep KVD_DEVSERVER_LISTENING build/demo-server.out

echo "== engine (log: $KELVANDRUM_LOG_FILE)"
"$bin" --session-id "$session" --signaling-url "ws://127.0.0.1:$port" "${engine_args[@]}" &
engine=$!
pids+=($engine)
echo
echo "   Viewer: http://127.0.0.1:$port/?session=$session"
echo "   (add &transport=webcodecs for video over the data channel)"
echo "   Terminal (toolbar): shells on this host in xterm.js tabs"
echo
if [ -n "${KVD_DEMO_SECONDS:-}" ]; then
    sleep "$KVD_DEMO_SECONDS"
    kill -TERM "$engine" 2>/dev/null || true
fi
set +e
wait "$engine"
rc=$?
set -e
echo "== engine exited with $rc; last log lines:"
tail -n 15 "$KELVANDRUM_LOG_FILE"
