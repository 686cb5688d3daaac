#!/usr/bin/env python3
"""Stream benchmark: the engine and a peer GStreamer pipeline (ximagesrc !
videoconvert ! x264enc tune=zerolatency speed-preset=ultrafast ! rtph264pay !
webrtcbin) side by side in one run, each viewed by the reference viewer in
headless Chromium inside a private network namespace (run as root).

Per screen size: change-to-glass latency (median, p95) of a 64 x 64 patch
painted at random phases, sender CPU and presented frames per second with a
quarter of the screen changing 30 times a second, sender CPU on a static
screen, and the time from the viewer's answer to its first decoded frame.
Prints a table with engine/peer ratios.

    bench/stream_latency.py [--build build] [--sizes 1280x720,1920x1080] [--changes 30]
                            [--rounds 1] [--json FILE]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))


def run_one(build, system, display, size, changes, log):
    w, h = size
    sender = (os.path.join(build, "kelvandrum-remote") if system == "engine"
              else os.path.join(build, "bench", "bench_peer_gst"))
    import kvdtest
    proc = subprocess.run(
        ["node", os.path.join(ROOT, "tests", "system", "browser", "stream_timing.js"), "--system", system, "--sender", sender,
         "--paint", os.path.join(build, "tests", "kvdtool_x_paint"), "--display", display,
         "--width", str(w), "--height", str(h), "--log", log, "--changes", str(changes)],
        stdout=subprocess.PIPE, timeout=600, env=kvdtest.clean_env())
    out = [l for l in proc.stdout.decode().splitlines() if l.startswith("{")]
    result = json.loads(out[-1]) if out else {"ok": False, "error": "no result"}
    if not result.get("ok"):
        raise RuntimeError(f"{system} {w}x{h}: {result.get('error')}")
    return result


def merge(results):
    """Several rounds of one system and size: medians of the figures."""
    def med(path):
        vals = []
        for r in results:
            v = r
            for k in path:
                v = v[k]
            vals.append(v)
        return statistics.median(vals)
    return {
        "latencyMedian": med(("latency", "median")), "latencyP95": med(("latency", "p95")),
        "latencyMissed": sum(r["latency"]["missed"] for r in results),
        "busyFps": med(("busy", "fps")), "busyCpu": med(("busy", "cpu")),
        "staticCpu": med(("static", "cpu")), "staticFps": med(("static", "fps")),
        "firstFrameMs": med(("answerToFirstFrameMs",)),
    }


def table(rows):
    cols = [("latency median ms", "latencyMedian"), ("latency p95 ms", "latencyP95"),
            ("busy fps", "busyFps"), ("busy CPU %", "busyCpu"), ("static CPU %", "staticCpu"),
            ("static fps", "staticFps"), ("answer to first frame ms", "firstFrameMs")]
    out = ["| size | figure | engine | peer | engine/peer |", "|---|---|---|---|---|"]
    for size, eng, peer in rows:
        for name, key in cols:
            ratio = eng[key] / peer[key] if peer[key] else float("inf")
            out.append(f"| {size} | {name} | {eng[key]:g} | {peer[key]:g} | {ratio:.2f} |")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--sizes", default="1280x720,1920x1080")
    ap.add_argument("--changes", type=int, default=30)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--json")
    a = ap.parse_args()
    os.environ.setdefault("KVD_BUILD_DIR", os.path.abspath(a.build))
    import kvdtest
    if not kvdtest.IN_NETNS:
        if os.geteuid() != 0:
            sys.exit("run as root: the browser needs a private network namespace")
        env = dict(os.environ, KVD_WEBRTC_NETNS="1")
        os.execve("/usr/bin/unshare", ["unshare", "-n", sys.executable, os.path.abspath(__file__),
                                       *sys.argv[1:]], env)
    kvdtest.setup_netns()
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    print(f"load average at start: {' '.join(load)}", file=sys.stderr)
    rows, raw = [], []
    for spec in a.sizes.split(","):
        w, h = (int(v) for v in spec.split("x"))
        per = {"engine": [], "peer": []}
        with kvdtest.Xvfb(w, h) as x, kvdtest.TempDir() as tmp:
            for rnd in range(a.rounds):
                # Alternate the order so that neither always runs second.
                order = ("engine", "peer") if rnd % 2 == 0 else ("peer", "engine")
                for system in order:
                    r = run_one(a.build, system, x.display, (w, h), a.changes,
                                os.path.join(tmp, f"{system}.log"))
                    per[system].append(r)
                    raw.append(r)
        rows.append((spec, merge(per["engine"]), merge(per["peer"])))
    with open("/proc/loadavg") as f:
        load_end = f.read().split()[:3]
    print(table(rows))
    print(f"\nload average: {' '.join(load)} at start, {' '.join(load_end)} at the end")
    if a.json:
        with open(a.json, "w") as f:
            json.dump(raw, f, indent=1)


if __name__ == "__main__":
    main()
