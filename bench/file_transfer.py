#!/usr/bin/python3
"""File transfer benchmark (not a test): runs bench/file_transfer.js as root
inside a private network namespace with its own Xvfb and scratch files, and
prints the figures side by side.

    sudo /usr/bin/python3 bench/file_transfer.py [BUILD_DIR]
    (KVD_BENCH_SCALE=16 for a quick trial with files 16 times smaller)
"""
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
import kvdtest  # noqa: E402


def write_random(path, size):
    with open(path, "wb") as f:
        block = os.urandom(1 << 20)
        for i in range(size >> 20):
            # Cheap distinct data: one random MiB with its index mixed in.
            f.write(i.to_bytes(8, "little") + block[8:])


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    if not kvdtest.IN_NETNS:
        if os.geteuid() != 0:
            sys.exit("run as root: the browser needs a private network namespace")
        os.execve("/usr/bin/unshare", ["unshare", "-n", sys.executable, os.path.abspath(__file__),
                                       build], dict(os.environ, KVD_WEBRTC_NETNS="1"))
    kvdtest.setup_netns()
    with kvdtest.Xvfb(640, 480) as x, kvdtest.TempDir() as tmp:
        profile = os.path.join(tmp, "profile")
        os.makedirs(os.path.join(profile, "Desktop"))
        small = os.path.join(tmp, "bench-256m.bin")
        large = os.path.join(tmp, "bench-1g.bin")
        # KVD_BENCH_SCALE=16 shrinks both files 16 times for a trial run.
        scale = int(os.environ.get("KVD_BENCH_SCALE", "1"))
        write_random(small, (256 << 20) // scale)
        write_random(large, (1 << 30) // scale)
        # Write-back of the fresh files would otherwise compete with the run.
        os.sync()
        log = os.path.join(tmp, "engine.log")
        proc = subprocess.run(
            ["node", os.path.join(ROOT, "bench", "file_transfer.js"),
             "--engine", os.path.join(build, "kelvandrum-remote"), "--display", x.display,
             "--log", log, "--env", json.dumps({"USERPROFILE": profile}),
             "--small", small, "--large", large],
            stdout=subprocess.PIPE, env=kvdtest.clean_env(), timeout=1800)
        lines = [l for l in proc.stdout.decode().splitlines() if l.startswith("{")]
        r = json.loads(lines[-1]) if lines else {"ok": False, "error": "no result"}
        if not r.get("ok"):
            with open(log, encoding="utf-8", errors="replace") as f:
                sys.stderr.write(f.read()[-3000:])
            sys.exit(f"benchmark failed: {r.get('error')}")
    print(f"ceiling (browser to browser, 16 KiB messages): {r['ceilingMiBps']:.1f} MiB/s "
          f"before, {r['ceilingAfterMiBps']:.1f} MiB/s after")
    print(f"upload   256 MiB viewer -> engine: {r['uploadMiBps']:.1f} MiB/s "
          f"({100 * r['uploadRatio']:.0f}% of the better ceiling)")
    print(f"download 256 MiB engine -> viewer: {r['downloadMiBps']:.1f} MiB/s "
          f"({100 * r['downloadRatio']:.0f}%); with the viewer's final hash "
          f"{r['downloadWithFinalHashMiBps']:.1f} MiB/s")
    for key, what in (("largeUpload", "1 GiB upload"), ("largePull", "1 GiB pull")):
        m = r[key]
        print(f"{what}: {m['result']:.1f} MiB/s, engine RSS {m['baseMiB']:.0f} -> peak "
              f"{m['peakMiB']:.0f} MiB (growth {m['growthMiB']:.1f} MiB)")
    print(json.dumps(r))


if __name__ == "__main__":
    main()
