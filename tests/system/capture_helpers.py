"""Helpers for the capture system tests: the capture probe and the painting
client from tests/tools, and an Xvnc that really switches modes."""
import json
import os
import select
import signal
import subprocess
import time

from kvdtest import clean_env, tool


class LineProcess:
    """A tool driven over stdin/stdout, one line per command and answer."""

    def __init__(self, args, env=None):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env, text=True, bufsize=1)

    def readline(self, timeout=20):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            raise TimeoutError("no answer from " + self.proc.args[0])
        line = self.proc.stdout.readline()
        if not line:
            raise EOFError(self.proc.args[0] + " ended")
        return line.strip()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        if self.proc.stdin and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class CaptureProbe(LineProcess):
    def __init__(self, display, log_file, **env):
        super().__init__([tool("capture_probe"), "--display", display],
                         env=clean_env(KELVANDRUM_LOG_FILE=log_file, KELVANDRUM_LOG_LEVEL="info",
                                       **env))

    def cmd(self, line, timeout=20):
        self.send(line)
        return json.loads(self.readline(timeout))


class Painter(LineProcess):
    """kvdtool_x_paint: solid rectangles, an optional pointer image and warp."""

    def __init__(self, display, *args):
        super().__init__([tool("x_paint"), "--display", display, *args])
        assert self.readline() == "ready"

    def cmd(self, line):
        self.send(line)
        assert self.readline() == "ok"


class Xvnc:
    """An Xvnc (RandR with real mode changes) on a free display number."""

    def __init__(self, width=1280, height=720):
        self.args = ["-geometry", f"{width}x{height}", "-SecurityTypes", "None", "-rfbport", "-1",
                     "-nolisten", "tcp"]
        self.proc = None
        self.display = None

    def __enter__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvnc", "-displayfd", str(w), *self.args], pass_fds=(w,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        data = b""
        deadline = time.time() + 20
        while not data.endswith(b"\n") and time.time() < deadline:
            ready, _, _ = select.select([r], [], [], 1)
            if not ready:
                continue
            chunk = os.read(r, 64)
            if not chunk:
                break
            data += chunk
        os.close(r)
        if not data.strip():
            self.__exit__()
            raise RuntimeError("Xvnc did not start")
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


def xrandr(display, *args):
    return subprocess.run(["xrandr", "-d", display, *args], capture_output=True, text=True,
                          timeout=20, env=clean_env())


def log_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [json.loads(l)["msg"] for l in f if l.strip()]
    except FileNotFoundError:
        return []
