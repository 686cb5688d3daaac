#!/usr/bin/env bash
# Installs every Debian package the project needs (idempotent) and the Node
# packages of tools/ from their committed lock files.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

wanted=$(grep -v -E '^\s*(#|$)' "$here/packages.txt")
missing=()
for p in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# node/npm may come from outside Debian on some machines; keep what works.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for p in "${missing[@]}"; do [[ $p == nodejs || $p == npm ]] || filtered+=("$p"); done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Node packages (development server, browser-test driver): install from the
# committed lock file only when node_modules is stale.
for dir in "$top"/tools/*/ "$top"/tests/system/*/; do
  [ -f "$dir/package-lock.json" ] || continue
  if [ ! -d "$dir/node_modules" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
    echo "setup: npm ci in ${dir#"$top"/}"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error && touch node_modules)
  fi
done
echo "setup: ok"
