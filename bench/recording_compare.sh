#!/bin/sh
# Recording costs side by side in one run: the recorder's per-frame cost on
# the frame thread, then remux and encryption throughput of a recording of
# MIB MiB (default 1024) with each step's peak RSS, against OpenSSL's own
# AES-256-GCM speed on 16 KiB blocks measured in the same run. MB/s are
# MiB per second of wall time, cpuMBps per second of processor time.
#   bench/recording_compare.sh [BUILD_DIR] [MIB] [WORK_DIR]
set -eu
BUILD=${1:-build}
MIB=${2:-1024}
WORK=${3:-$(mktemp -d /tmp/kvdbench-rec.XXXXXX)}
BENCH="$BUILD/bench/bench_recording"
[ -x "$BENCH" ] || { echo "build bench_recording first" >&2; exit 1; }
trap 'rm -rf "$WORK"' EXIT INT TERM
mkdir -p "$WORK"

step() {
    /usr/bin/time -f '{"peakRssKiB":%M}' -o "$WORK/rss" "$BENCH" "$@"
    cat "$WORK/rss"
}
step write "$WORK" "$MIB"
step remux "$WORK"
step encrypt "$WORK"
step cipher "$WORK"
# openssl reports processor time unless -elapsed is given; -aead sets a new
# nonce and fetches the tag per block, as the recording layout does.
for opts in "" "-aead" "-elapsed -aead"; do
    # shellcheck disable=SC2086
    printf 'openssl speed %s -evp aes-256-gcm -bytes 16384 (1000s of bytes/s): ' "$opts"
    # shellcheck disable=SC2086
    openssl speed $opts -evp aes-256-gcm -bytes 16384 -seconds 3 2>/dev/null | tail -1
done
