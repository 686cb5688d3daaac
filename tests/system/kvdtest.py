"""Shared helpers for the process-level tests (Debian's python3, stdlib only).

Every test starts what it needs itself (an Xvfb, a server) on a free display
number or port and stops it by pid.
"""
import os
import select
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


# Tests run side by side, many of them in network namespaces of their own.
# An X server's abstract socket lives in its namespace, but its socket file,
# its compiled keymap and its lock file are per display number in the shared
# file system, and -displayfd (which every server here uses to say it is
# ready) neither writes nor honours lock files: left to pick, servers in two
# namespaces both take :0 and trip over each other's files (a client then
# waits forever for a server that never reads its connection). So each server
# gets a number reserved here with a lock file naming this process, held until
# the server was stopped; the lock also keeps the number from being taken by
# another test while a test has killed its server on purpose.
_DISPLAY_FIRST, _DISPLAY_COUNT = 100, 700


def reserve_display():
    """Returns (number, lock path) of a display number no one else uses."""
    start = (os.getpid() * 37 + int(time.time() * 1000)) % _DISPLAY_COUNT
    for i in range(_DISPLAY_COUNT):
        n = _DISPLAY_FIRST + (start + i) % _DISPLAY_COUNT
        lock = f"/tmp/.X{n}-lock"
        if os.path.exists(f"/tmp/.X11-unix/X{n}"):
            continue
        try:
            fd = os.open(lock, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o444)
        except FileExistsError:
            # Held, or left by a test that was killed: skipped either way
            # (removing a stale lock could race with a new owner).
            continue
        os.write(fd, f"{os.getpid():10d}\n".encode())
        os.close(fd)
        return n, lock
    raise RuntimeError("no free X display number")


class XServer:
    """An X server (Xvfb, Xvnc, Xorg: argv without the display) on a display
    number of its own; start() returns the display name, stop() ends it."""

    def __init__(self, argv, what=None):
        self.argv = list(argv)
        self.what = what or self.argv[0]
        self.proc = None
        self.display = None
        self.lock = None

    def start(self, timeout=20):
        n, self.lock = reserve_display()
        r, w = os.pipe()
        try:
            self.proc = subprocess.Popen([self.argv[0], f":{n}", *self.argv[1:], "-displayfd", str(w)],
                                         pass_fds=(w,), stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
        except OSError:
            os.close(r)
            os.close(w)
            self.stop()
            raise
        os.close(w)
        data = b""
        deadline = time.time() + timeout
        while not data.endswith(b"\n") and time.time() < deadline:
            if not select.select([r], [], [], 1)[0]:
                continue
            chunk = os.read(r, 64)
            if not chunk:
                break
            data += chunk
        os.close(r)
        if not data.strip():
            self.stop()
            raise RuntimeError(f"{self.what} did not start")
        self.display = f":{n}"
        return self.display

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.lock:
            try:
                os.unlink(self.lock)
            except FileNotFoundError:
                pass
            self.lock = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


class Xvfb(XServer):
    """An Xvfb on a display number of its own; use as a context manager."""

    def __init__(self, width=1280, height=720, depth=24, extra_args=()):
        super().__init__(["Xvfb", "-screen", "0", f"{width}x{height}x{depth}", "-nolisten", "tcp",
                          *extra_args])


class TempDir:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="kvdtest-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def finish(proc, timeout=15):
    """Lets a driver end by itself (it stops its own children on the way out),
    killing it only when it does not."""
    try:
        proc.communicate(timeout=timeout)  # closes its stdin: the sign to finish
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()


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
