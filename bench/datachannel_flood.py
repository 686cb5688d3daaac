#!/usr/bin/env python3
"""Engine memory under a data-channel flood from headless Chromium.

    sudo bench/datachannel_flood.py [--binary build/kelvandrum-remote] [--seconds 20] [--size 16384]

Runs itself inside a private network namespace (root), starts Xvfb, the
development signaling server, the engine and Chromium, floods the control
channel with JSON messages of --size bytes and the input channel with mouse
moves for --seconds, and reports the engine's resident memory before, at its
peak and after, with the count of messages the engine dropped from its
bounded inbound queues.
"""
import argparse
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
import kvdtest  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "kelvandrum-remote"))
    ap.add_argument("--seconds", default="20")
    ap.add_argument("--size", default="16384")
    a = ap.parse_args()
    if os.environ.get("KVD_WEBRTC_NETNS") != "1":
        if os.geteuid() != 0:
            sys.exit("needs root for the network namespace")
        env = dict(os.environ, KVD_WEBRTC_NETNS="1")
        os.execve("/usr/bin/unshare", ["unshare", "-n", sys.executable, os.path.abspath(__file__),
                                       *sys.argv[1:]], env)
    kvdtest.setup_netns()
    with kvdtest.Xvfb(1280, 720) as x, kvdtest.TempDir() as tmp:
        log = os.path.join(tmp, "engine.log")
        p = subprocess.run(["node", os.path.join(HERE, "datachannel_flood.js"), "--engine", a.binary,
                            "--display", x.display, "--log", log, "--seconds", a.seconds,
                            "--size", a.size], stdout=subprocess.PIPE, timeout=300,
                           env=kvdtest.clean_env())
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
    lines = [l for l in p.stdout.decode().splitlines() if l.startswith("{")]
    r = json.loads(lines[-1]) if lines else {"ok": False, "error": "no result"}
    if not r.get("ok"):
        sys.exit(r.get("error"))
    dropped = {}
    for m in re.finditer(r"\[webrtc\] (\w+) DataChannel: inbound queue full .*?\((\d+) dropped so far\)", text):
        dropped[m.group(1)] = max(dropped.get(m.group(1), 0), int(m.group(2)))
    handled = len(re.findall(r"\[control\] recv type=flood", text))
    mib = lambda kb: f"{kb / 1024:.1f} MiB"
    print(f"sent: {r['sent']['control']} control messages of {a.size} bytes "
          f"({r['sent']['controlBytes'] / 1048576:.0f} MiB), {r['sent']['input']} input moves "
          f"in {a.seconds} s")
    print(f"handled control messages: {handled}; dropped from the inbound queues "
          f"(at least, from the thinned warnings): {dropped or 'none'}")
    print(f"engine RSS: before {mib(r['baseline']['rss'])}, peak {mib(r['peakRssKb'])}, "
          f"after {mib(r['after']['rss'])} (high-water mark {mib(r['after']['hwm'])})")


if __name__ == "__main__":
    main()
