"""Shared helpers for the process-level tests (Debian's python3, stdlib only).

Every test starts what it needs itself (an Xvfb, a server) on a free display
number or port and stops it by pid.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("KVD_BUILD_DIR", os.path.join(ROOT, "build"))
BINARY = os.environ.get("KVD_BINARY", os.path.join(BUILD_DIR, "kelvandrum-remote"))


def tool(name):
    """Path of a tests/tools/<name>.cpp program."""
    return os.path.join(BUILD_DIR, "tests", "kvdtool_" + name)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def clean_env(**extra):
    """The process environment without KELVANDRUM_* variables, plus extra."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("KELVANDRUM_")}
    env.update({k: str(v) for k, v in extra.items()})
    return env


class Xvfb:
    """An Xvfb on a free display number; use as a context manager."""

    def __init__(self, width=1280, height=720, depth=24, extra_args=()):
        self.args = ["-screen", "0", f"{width}x{height}x{depth}", "-nolisten", "tcp", *extra_args]
        self.proc = None
        self.display = None

    def __enter__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), *self.args],
                                     pass_fds=(w,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(w)
        data = b""
        deadline = time.time() + 20
        while not data.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(r, 64)
            if not chunk:
                break
            data += chunk
        os.close(r)
        if not data.strip():
            self.__exit__(None, None, None)
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + data.decode().strip()
        return self

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class TempDir:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="kvdtest-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def wait_for(predicate, timeout=10.0, interval=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        v = predicate()
        if v:
            return v
        time.sleep(interval)
    return predicate()


# Browser tests run in a private network namespace (as root): Chromium
# gathers no ICE candidates on a loopback-only host.
SYSTEM_DIR = os.path.dirname(os.path.abspath(__file__))
IN_NETNS = os.environ.get("KVD_WEBRTC_NETNS") == "1"
BROWSER_READY = bool(
    os.path.exists("/usr/bin/chromium") and shutil.which("node")
    and os.path.isdir(os.path.join(SYSTEM_DIR, "browser", "node_modules", "playwright-core"))
    and os.path.isdir(os.path.join(ROOT, "tools", "viewer", "node_modules")))
BROWSER_SKIP_REASON = ("needs root (network namespace), chromium and npm ci in tests/system/browser "
                       "and tools/viewer")


def setup_netns():
    for cmd in ("ip link set lo up",
                "ip link add kvd0 type veth peer name kvd1",
                "ip addr add 10.99.0.1/24 dev kvd0",
                "sysctl -qw net.ipv6.conf.all.accept_dad=0",
                "ip link set kvd0 up", "ip link set kvd1 up",
                "ip route add default dev kvd0"):
        subprocess.run(cmd.split(), check=True, stdout=subprocess.DEVNULL)


def browser_test_main(script, argv):
    """Re-runs `script` inside a new network namespace, then runs its tests."""
    import sys
    import unittest
    if not IN_NETNS and os.geteuid() == 0 and os.path.exists("/usr/bin/unshare"):
        env = dict(os.environ, KVD_WEBRTC_NETNS="1")
        os.execve("/usr/bin/unshare", ["unshare", "-n", sys.executable, os.path.abspath(script),
                                       *argv[1:]], env)
    if IN_NETNS:
        setup_netns()
    unittest.main(module="__main__")
