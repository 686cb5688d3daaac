#!/bin/sh
# Remote terminal over loopback with the reference viewer in headless
# Chromium: keystroke echo round trip (a character sent as terminal_input
# until the shell's echo arrives in the page; 200 samples, median and p95)
# and bulk output throughput (`head -c N /dev/zero | base64` delivered to the
# page, MB/s), with the engine's CPU time and memory. Needs root: Chromium
# gathers no ICE candidates without a non-loopback interface, so it runs in a
# private network namespace of its own.
#   bench/terminal.sh [BUILD_DIR] [BULK_BYTES]
set -eu
BUILD=$(cd "${1:-build}" && pwd)
BULK=${2:-50000000}
HERE=$(cd "$(dirname "$0")" && pwd)
[ -x "$BUILD/kelvandrum-remote" ] || { echo "build kelvandrum-remote first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }
LOGS=$(mktemp -d /tmp/kvdbench-term.XXXXXX)
trap 'rm -rf "$LOGS"' EXIT INT TERM
unshare -n sh -c '
  ip link set lo up
  ip link add kvd0 type veth peer name kvd1
  ip addr add 10.99.0.1/24 dev kvd0
  sysctl -qw net.ipv6.conf.all.accept_dad=0
  ip link set kvd0 up; ip link set kvd1 up
  ip route add default dev kvd0
  exec node "$1/../tests/system/browser/terminal_session.js" --engine "$2/kelvandrum-remote" \
       --log-dir "$3" --mode bench --bulk-bytes "$4"' sh "$HERE" "$BUILD" "$LOGS" "$BULK" 2>/dev/null |
  tail -n 1 | /usr/bin/python3 -c '
import json, sys
d = json.load(sys.stdin)
if not d.get("ok"):
    sys.exit("benchmark failed: %s" % d.get("error"))
e, b = d["echo"], d["bulk"]
print("keystroke echo round trip: median %.1f ms, p95 %.1f ms (%d samples); engine idle CPU %.1f %%"
      % (e["medianMs"], e["p95Ms"], e["n"], d["idleCpuPercent"]))
print("bulk output: %d bytes in %.1f s = %.1f MB/s to the viewer; engine CPU %.2f s (%.0f %% of one core); "
      "engine RSS %d -> %d KiB; slowest control reply meanwhile %.0f ms"
      % (b["bytes"], b["seconds"], b["mbPerSecond"], b["cpuSeconds"], 100 * b["cpuSeconds"] / b["seconds"],
         b["rss0KiB"], b["rssPeakKiB"], b["pingMaxMs"]))
'
