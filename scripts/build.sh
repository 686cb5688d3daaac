#!/usr/bin/env bash
# Configures and builds one build tree. Usage: build.sh DIR [cmake options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$top" -B "$top/$dir" -G Ninja "$@" >/dev/null
# Two cores on the reference machine: keep memory and load predictable.
ninja -C "$top/$dir" -j "${KVD_JOBS:-2}"
