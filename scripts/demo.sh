#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the engine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

bin=build/kelvandrum-remote
echo "== permission probe"
"$bin" --check-permissions
echo "== engine start-up (log on the console)"
export KELVANDRUM_SESSION_TOKEN=${KELVANDRUM_SESSION_TOKEN:-demo-token}
export KELVANDRUM_LOG_LEVEL=${KELVANDRUM_LOG_LEVEL:-info}
export KELVANDRUM_LOG_FILE=${KELVANDRUM_LOG_FILE:-$top/build/demo.log}
set +e
"$bin" --session-id demo-session --signaling-url ws://127.0.0.1:1/
rc=$?
set -e
echo "== engine exited with $rc; log:"
cat "$KELVANDRUM_LOG_FILE"
