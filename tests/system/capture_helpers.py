"""Helpers for the capture system tests: the capture probe and the painting
client from tests/tools, and an Xvnc that really switches modes."""
import json
import os
import select
import subprocess

import kvdtest
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


class Xvnc(kvdtest.XServer):
    """An Xvnc (RandR with real mode changes) on a display number of its own."""

    def __init__(self, width=1280, height=720):
        super().__init__(["Xvnc", "-geometry", f"{width}x{height}", "-SecurityTypes", "None",
                          "-rfbport", "-1", "-nolisten", "tcp"])


def xrandr(display, *args):
    return subprocess.run(["xrandr", "-d", display, *args], capture_output=True, text=True,
                          timeout=20, env=clean_env())


def log_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [json.loads(l)["msg"] for l in f if l.strip()]
    except FileNotFoundError:
        return []
