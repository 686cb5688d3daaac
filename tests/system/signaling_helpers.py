"""Helpers shared by the signaling system tests: JSON-line child processes
(the probe tool, the Node servers), a throw-away CA, and the probe's log."""
import json
import os
import queue
import signal
import subprocess
import threading
import time

import kvdtest

VIEWER_DIR = os.path.join(kvdtest.ROOT, "tools", "viewer")
NODE_PATH = os.path.join(VIEWER_DIR, "node_modules")
HERE = os.path.dirname(os.path.abspath(__file__))


class JsonProc:
    """A child that speaks JSON lines on stdout/stdin."""

    def __init__(self, args, env=None, cwd=None):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, cwd=cwd)
        self.events = queue.Queue()
        self.seen = []
        self.stderr_lines = []
        self.raw_lines = []
        threading.Thread(target=self._read_out, daemon=True).start()
        threading.Thread(target=self._read_err, daemon=True).start()

    def _read_out(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.raw_lines.append(line)
            try:
                self.events.put(json.loads(line))
            except ValueError:
                self.events.put({"raw": line})

    def _read_err(self):
        for raw in self.proc.stderr:
            self.stderr_lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def expect(self, pred, timeout=10.0, what="event"):
        """The first new event matching pred; the others are kept in seen."""
        deadline = time.time() + timeout
        while True:
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError(f"timed out waiting for {what}; saw {self.seen[-8:]}; "
                                     f"stderr {self.stderr_lines[-8:]}")
            try:
                ev = self.events.get(timeout=left)
            except queue.Empty:
                continue
            self.seen.append(ev)
            if pred(ev):
                return ev

    def event(self, name, timeout=10.0, **match):
        return self.expect(lambda e: e.get("event") == name and
                           all(e.get(k) == v for k, v in match.items()),
                           timeout, what=f"{name} {match}")

    def drain(self, wait=0.3):
        """Events that arrive within `wait` seconds."""
        got = []
        deadline = time.time() + wait
        while time.time() < deadline:
            try:
                ev = self.events.get(timeout=max(0.0, deadline - time.time()))
            except queue.Empty:
                break
            self.seen.append(ev)
            got.append(ev)
        return got

    def send(self, obj):
        self.proc.stdin.write((json.dumps(obj) + "\n").encode())
        self.proc.stdin.flush()

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            self.proc.send_signal(sig)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except (OSError, ValueError):
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def node_env(**extra):
    return kvdtest.clean_env(NODE_PATH=NODE_PATH, **extra)


def dev_server(*args):
    """The development server on a free port; returns (JsonProc, url)."""
    p = JsonProc(["node", os.path.join(VIEWER_DIR, "server.js"), "--port", "0", *args],
                 env=node_env())
    ev = p.expect(lambda e: str(e.get("raw", "")).startswith("KVD_DEVSERVER_LISTENING"),
                  what="listening line")
    return p, ev["raw"].split("url=", 1)[1]


def bare_server(*args):
    """The scriptable bare ws server; returns (JsonProc, port)."""
    p = JsonProc(["node", os.path.join(HERE, "signaling_ws_server.js"), *args], env=node_env())
    return p, p.event("listening")["port"]


def viewer(url):
    p = JsonProc(["node", os.path.join(HERE, "signaling_viewer.js"), url], env=node_env())
    return p


def probe(args, log, **env):
    """The signaling probe tool; `args` start with "ws" or "pipe"."""
    return JsonProc([kvdtest.tool("signaling_probe"), *args, "--log", log],
                    env=kvdtest.clean_env(**env))


def read_log(path):
    """(level, msg) pairs of a JSON-line log file."""
    out = []
    if not os.path.exists(path):
        return out
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            try:
                j = json.loads(line)
            except ValueError:
                continue
            out.append((j.get("level"), j.get("msg")))
    return out


def make_ca(dirpath):
    """A CA and a server certificate for 127.0.0.1/localhost signed by it.
    Returns (ca_pem, cert_pem, key_pem)."""
    ca_key = os.path.join(dirpath, "ca.key")
    ca = os.path.join(dirpath, "ca.pem")
    key = os.path.join(dirpath, "server.key")
    csr = os.path.join(dirpath, "server.csr")
    cert = os.path.join(dirpath, "server.pem")
    ext = os.path.join(dirpath, "ext.cnf")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    run = lambda *a: subprocess.run(["openssl", *a], check=True, capture_output=True)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca,
        "-days", "2", "-subj", "/CN=kvd test CA")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
        "-subj", "/CN=127.0.0.1")
    run("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
        "-out", cert, "-days", "2", "-extfile", ext)
    return ca, cert, key
