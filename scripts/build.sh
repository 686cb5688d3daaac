#!/usr/bin/env bash
# Configures and builds one build tree. Usage: build.sh DIR [cmake options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
# ccache (when present) makes rebuilds and fresh clones on this machine cheap.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=1
fi
cmake -S "$top" -B "$top/$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
# Two cores on the reference machine: keep memory and load predictable.
# KVD_BUILD_TARGETS narrows the build to some targets.
# shellcheck disable=SC2086
ninja -C "$top/$dir" -j "${KVD_JOBS:-2}" ${KVD_BUILD_TARGETS:-}
