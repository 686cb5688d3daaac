#!/bin/sh
# Capture cost side by side in one run: both capture backends, a plain
# XGetImage loop and ffmpeg's x11grab, at 1280x720 and 1920x1080, on a static
# screen and with the whole screen changing. Starts (and stops) its own Xvfb.
#   bench/capture_compare.sh [BUILD_DIR] [FRAMES]
set -eu
BUILD=${1:-build}
FRAMES=${2:-200}
BENCH="$BUILD/bench/bench_capture"
PAINT="$BUILD/tests/kvdtool_x_paint"
[ -x "$BENCH" ] && [ -x "$PAINT" ] || { echo "build bench_capture and kvdtool_x_paint first" >&2; exit 1; }

XPID=""
PPID_PAINT=""
FIFO=""
cleanup() {
    [ -n "$PPID_PAINT" ] && kill "$PPID_PAINT" 2>/dev/null || true
    [ -n "$XPID" ] && kill "$XPID" 2>/dev/null || true
    [ -n "$FIFO" ] && rm -f "$FIFO"
}
trap cleanup EXIT INT TERM

start_xvfb() {
    FIFO=$(mktemp -u /tmp/kvdbench.XXXXXX)
    mkfifo "$FIFO"
    Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$FIFO" >/dev/null 2>&1 &
    XPID=$!
    read -r num <"$FIFO"
    rm -f "$FIFO"
    FIFO=""
    DISPLAY_NAME=":$num"
}

ffmpeg_per_frame() {
    # ffmpeg reports real time for the whole run; per frame is the mean.
    out=$(ffmpeg -hide_banner -nostdin -benchmark -f x11grab -video_size "$2" -framerate 1000 \
          -i "$1" -frames:v "$FRAMES" -f null - 2>&1 | grep 'bench: utime' || true)
    rtime=$(echo "$out" | sed -n 's/.*rtime=\([0-9.]*\)s.*/\1/p')
    [ -n "$rtime" ] && awk -v r="$rtime" -v n="$FRAMES" 'BEGIN { printf "%d", r * 1e6 / n }' || echo "n/a"
}

printf '%-10s %-8s %-10s %12s %12s %12s %12s\n' size content backend wall_min wall_med cpu_min cpu_med
for size in 1280x720 1920x1080; do
    start_xvfb "$size"
    for content in static changing; do
        if [ "$content" = changing ]; then
            w=${size%x*}; h=${size#*x}
            # The painter runs until its input closes: hold a fifo open for it.
            PFIFO=$(mktemp -u /tmp/kvdpaint.XXXXXX)
            mkfifo "$PFIFO"
            "$PAINT" --display "$DISPLAY_NAME" --animate "0,0,$w,$h,5" <"$PFIFO" >/dev/null &
            PPID_PAINT=$!
            exec 4>"$PFIFO"
            rm -f "$PFIFO"
            sleep 0.5
        fi
        for backend in gdi dxgi xgetimage; do
            line=$("$BENCH" --display "$DISPLAY_NAME" --backend "$backend" --frames "$FRAMES" 2>/dev/null || echo '{}')
            echo "$line" | /usr/bin/python3 -c '
import json, sys
j = json.loads(sys.stdin.read() or "{}")
w, c = j.get("wall_us", {}), j.get("cpu_us", {})
print("%-10s %-8s %-10s %12s %12s %12s %12s" % (sys.argv[1], sys.argv[2], sys.argv[3],
      w.get("min", "n/a"), w.get("median", "n/a"), c.get("min", "n/a"), c.get("median", "n/a")))
' "$size" "$content" "$backend"
        done
        printf '%-10s %-8s %-10s %12s %12s %12s %12s\n' "$size" "$content" ffmpeg - \
            "$(ffmpeg_per_frame "$DISPLAY_NAME" "$size")(mean)" - -
        if [ -n "$PPID_PAINT" ]; then
            exec 4>&-
            wait "$PPID_PAINT" 2>/dev/null || true
            PPID_PAINT=""
        fi
    done
    kill "$XPID"; wait "$XPID" 2>/dev/null || true
    XPID=""
done
echo "(microseconds per frame; dxgi wall time includes its wait for damage, up to 33 ms when static)"
