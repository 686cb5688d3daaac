"""The input helper process over its real pipe (a Unix socket in a private
directory): a scripted engine speaks the line protocol, two Xvfb servers play
the normal and the secure desktop, and an X client on each records what the
helper injected there. The producers are stand-ins of kvdtool_helper_run that
print their starts and stops."""
import json
import os
import queue
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

WIDTH, HEIGHT = 1024, 768
TOKEN = "per-session-secret"
SESSION = "abcdef0123456789"
PIPE = "kelvandrum-input-abcdef01"


def mul_div(a, b, c):
    return (a * b + c // 2) // c


class Lines:
    def __init__(self, stream):
        self.q = queue.Queue()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, f):
        for line in f:
            self.q.put(line.rstrip("\n"))

    def get(self, timeout=10):
        return self.q.get(timeout=timeout)

    def drain(self, quiet=0.3):
        out = []
        while True:
            try:
                out.append(json.loads(self.q.get(timeout=quiet)))
            except queue.Empty:
                return out

    def wait_for(self, pred, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                e = json.loads(self.q.get(timeout=max(0.01, deadline - time.time())))
            except queue.Empty:
                break
            if pred(e):
                return e
        return None


class Engine:
    """A scripted engine on the helper's pipe."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(5)
        self.sock.connect(path)
        self.buf = b""

    def send(self, obj_or_text):
        text = obj_or_text if isinstance(obj_or_text, str) else json.dumps(obj_or_text)
        try:
            self.sock.sendall(text.encode() + b"\n")
        except (BrokenPipeError, ConnectionResetError):
            pass  # a rejected engine finds out on its next read

    def line(self, timeout=5):
        self.sock.settimeout(timeout)
        while b"\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def closed_by_peer(self, timeout=5):
        """True when the helper ended the connection."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    return True
        except (ConnectionResetError, BrokenPipeError):
            return True
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()


class InputHelperProcess(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kvdtest.TempDir()
        cls.tmpdir = cls.tmp.__enter__()
        cls.pipedir = os.path.join(cls.tmpdir, "pipes")
        cls.main = kvdtest.Xvfb(WIDTH, HEIGHT).__enter__()
        cls.secure = kvdtest.Xvfb(WIDTH, HEIGHT).__enter__()
        cls.recorders, cls.events = {}, {}
        for name, x in (("main", cls.main), ("secure", cls.secure)):
            p = subprocess.Popen([kvdtest.tool("input_recorder"), x.display],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                 encoding="utf-8")
            cls.recorders[name] = p
            cls.events[name] = Lines(p.stdout)
            assert json.loads(cls.events[name].get())["ev"] == "ready"
        cls.log = os.path.join(cls.tmpdir, "helper.log")
        cls.env = kvdtest.clean_env(DISPLAY=cls.main.display,
                                    KVD_SECURE_DISPLAY=cls.secure.display,
                                    KELVANDRUM_PIPE_DIR=cls.pipedir,
                                    KELVANDRUM_INPUT_PIPE_TOKEN=TOKEN,
                                    KELVANDRUM_LOG_FILE=cls.log,
                                    KELVANDRUM_LOG_LEVEL="info")
        cls.helper = subprocess.Popen(
            [kvdtest.tool("helper_run"), "--session-id", SESSION, "--shm-v2", "--bridge",
             "--record-producers"],
            env=cls.env, stdout=subprocess.PIPE, text=True)
        cls.producers = Lines(cls.helper.stdout)
        assert json.loads(cls.producers.get())["ready"]
        cls.path = os.path.join(cls.pipedir, PIPE + ".sock")
        assert kvdtest.wait_for(lambda: os.path.exists(cls.path)), "pipe not created"

    @classmethod
    def tearDownClass(cls):
        if cls.helper.poll() is None:
            cls.helper.terminate()
            try:
                cls.helper.wait(10)
            except subprocess.TimeoutExpired:
                cls.helper.kill()
                cls.helper.wait()
        for p in cls.recorders.values():
            p.stdin.close()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            p.stdout.close()
        cls.helper.stdout.close()
        cls.secure.__exit__(None, None, None)
        cls.main.__exit__(None, None, None)
        cls.tmp.__exit__(None, None, None)

    def setUp(self):
        for e in self.events.values():
            e.drain(0.1)

    def connect(self, hello=True):
        eng = Engine(self.path)
        self.addCleanup(eng.close)
        if hello:
            eng.send({"t": "hello", "token": TOKEN})
        return eng

    def log_text(self):
        with open(self.log, encoding="utf-8") as f:
            return f.read()

    def set_desktop(self, name):
        args = (["-remove", "_KVD_INPUT_DESKTOP"] if name is None else
                ["-f", "_KVD_INPUT_DESKTOP", "8s", "-set", "_KVD_INPUT_DESKTOP", name])
        subprocess.run(["xprop", "-root", *args], env=dict(self.env), check=True)

    def test_01_pipe_is_private(self):
        self.assertEqual(os.stat(self.pipedir).st_mode & 0o777, 0o700)
        self.assertEqual(os.stat(self.path).st_mode & 0o777, 0o660)

    def test_02_bad_hellos_are_dropped_and_the_next_engine_is_served(self):
        for first in ({"t": "hello", "token": "wrong"}, {"t": "hello", "token": TOKEN + "x"},
                      {"t": "hello"}, {"t": "mm", "x": 1, "y": 1}, "not json"):
            with self.subTest(first=first):
                eng = Engine(self.path)
                eng.send(first)
                eng.send({"t": "ping", "ts": 1})
                self.assertTrue(eng.closed_by_peer())
                eng.close()
        eng = self.connect()
        eng.send({"t": "ping", "ts": 42})
        self.assertEqual(eng.line(), {"desktop": "Default", "t": "pong", "ts": 42})
        before = int(time.time() * 1000)
        eng.send({"t": "ping"})
        pong = eng.line()
        self.assertGreaterEqual(pong["ts"], before)
        self.assertLess(pong["ts"], before + 60000)
        self.assertIn("Client hello verification FAILED — rejecting connection", self.log_text())

    def test_03_commands_are_injected_on_the_main_display(self):
        eng = self.connect()
        ev = self.events["main"]
        eng.send({"t": "smb", "l": 0, "tt": 0, "w": WIDTH, "h": HEIGHT})
        eng.send({"t": "mm", "x": 32768, "y": 16384})
        e = ev.wait_for(lambda e: e["ev"] == "motion")
        self.assertEqual((e["x"], e["y"]),
                         (mul_div(32768, WIDTH, 65535), mul_div(16384, HEIGHT, 65535)))
        eng.send({"t": "mc", "b": 1, "d": 2})
        buttons = [e for e in ev.drain(0.5) if e["ev"] == "button"]
        self.assertEqual([(e["button"], e["down"]) for e in buttons],
                         [(3, True), (3, False), (3, True), (3, False)])
        eng.send({"t": "mw", "dy": -120, "dx": 0})
        e = ev.wait_for(lambda e: e["ev"] == "button")
        self.assertEqual((e["button"], e["down"]), (5, True))
        eng.send({"t": "kd", "vk": 0, "sc": 0x1E, "ext": 0})
        eng.send({"t": "ku", "vk": 0, "sc": 0x1E, "ext": 0})
        eng.send({"t": "type", "s": "hi", "d": 0})
        keys = []
        deadline = time.time() + 10
        while len(keys) < 6 and time.time() < deadline:
            e = ev.wait_for(lambda e: e["ev"] == "key", timeout=1)
            if e:
                keys.append(e)
        self.assertEqual([(k.get("text"), k["down"]) for k in keys[:2]],
                         [("a", True), ("a", False)])
        # Typed characters travel on borrowed keycodes; under load the
        # recorder may resolve one after it was handed back, so only the
        # names it did resolve are compared.
        self.assertEqual([k["down"] for k in keys[2:]], [True, False, True, False])
        for k, want in zip(keys[2::2], "hi"):
            self.assertIn(k.get("text"), (want, ""))
        # Hostile values are refused, not wrapped into other buttons.
        eng.send({"t": "mc", "b": 256, "d": 1})
        eng.send({"t": "kd", "vk": 0, "sc": 65536 + 0x1E})
        eng.send({"t": "nope"})
        eng.send({"t": "ping", "ts": 7})
        self.assertEqual(eng.line()["ts"], 7)
        self.assertEqual([e for e in ev.drain(0.3) if e["ev"] != "motion"], [])
        self.assertEqual(self.events["secure"].drain(0.1), [])

    def test_04_over_long_line_ends_the_connection(self):
        eng = self.connect()
        eng.send({"t": "ping", "ts": 1})
        self.assertEqual(eng.line()["ts"], 1)
        try:
            eng.sock.sendall(b"x" * (1024 * 1024 + 16))
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.assertTrue(eng.closed_by_peer())
        again = self.connect()
        again.send({"t": "ping", "ts": 2})
        self.assertEqual(again.line()["ts"], 2)

    def test_05_secure_desktop_moves_input_and_runs_producers_with_bridge(self):
        eng = self.connect()
        self.set_desktop("Winlogon")
        self.addCleanup(self.set_desktop, None)
        starts = [self.producers.wait_for(lambda e: e.get("op") == "start") for _ in range(2)]
        self.assertEqual(sorted((s["producer"], s["display"], s["sid"]) for s in starts),
                         [("v1", self.secure.display, SESSION),
                          ("v2", self.secure.display, SESSION)])
        eng.send({"t": "ping", "ts": 3})
        self.assertEqual(eng.line(), {"desktop": "Winlogon", "t": "pong", "ts": 3})
        eng.send({"t": "kd", "vk": 0, "sc": 0x1E})
        eng.send({"t": "ku", "vk": 0, "sc": 0x1E})
        e = self.events["secure"].wait_for(lambda e: e["ev"] == "key")
        self.assertEqual((e.get("text"), e["down"]), ("a", True))
        self.assertEqual([e for e in self.events["main"].drain(0.3) if e["ev"] == "key"], [])

        # Leaving: input is back on the main display at once, while the bridge
        # keeps the producers until the engine lets go.
        self.set_desktop(None)
        eng.send({"t": "kd", "vk": 0, "sc": 0x1F})
        eng.send({"t": "ku", "vk": 0, "sc": 0x1F})
        deadline = time.time() + 5
        seen = None
        while time.time() < deadline and not seen:
            seen = self.events["main"].wait_for(lambda e: e["ev"] == "key", timeout=0.5)
            if not seen:  # the watcher had not seen the switch yet: try again
                eng.send({"t": "kd", "vk": 0, "sc": 0x1F})
                eng.send({"t": "ku", "vk": 0, "sc": 0x1F})
        self.assertEqual(seen.get("text"), "s")
        self.assertEqual(self.producers.drain(0.5), [])
        eng.send({"t": "shm2", "op": "bridge_release"})
        stops = [self.producers.wait_for(lambda e: e.get("op") == "stop", timeout=3)
                 for _ in range(2)]
        self.assertEqual(sorted(s["producer"] for s in stops if s), ["v1", "v2"])

    def test_06_sigterm_ends_the_helper_cleanly(self):
        eng = self.connect()
        eng.send({"t": "ping", "ts": 9})
        self.assertEqual(eng.line()["ts"], 9)
        self.helper.terminate()
        self.assertEqual(self.helper.wait(10), 0)
        log = self.log_text()
        self.assertIn("[InputHelperMode] Exiting cleanly", log)
        self.assertIn("bridge holds v2 capture (≤30s)", log)
        self.assertIn("bridge window over (released by engine)", log)
        self.assertFalse(os.path.exists(self.path))


class HelperWithoutToken(unittest.TestCase):
    def test_every_client_is_refused_fail_closed(self):
        with kvdtest.TempDir() as tmp:
            log = os.path.join(tmp, "helper.log")
            env = kvdtest.clean_env(KELVANDRUM_PIPE_DIR=os.path.join(tmp, "p"),
                                    KELVANDRUM_LOG_FILE=log, KELVANDRUM_LOG_LEVEL="info",
                                    DISPLAY=":99999")
            proc = subprocess.Popen([kvdtest.tool("helper_run"), "--pipe", "custom"], env=env,
                                    stdout=subprocess.DEVNULL)
            try:
                path = os.path.join(tmp, "p", "custom.sock")
                self.assertTrue(kvdtest.wait_for(lambda: os.path.exists(path)))
                eng = Engine(path)
                eng.send({"t": "hello", "token": ""})
                eng.send({"t": "ping", "ts": 1})
                self.assertTrue(eng.closed_by_peer())
                eng.close()
            finally:
                proc.terminate()
                self.assertEqual(proc.wait(10), 0)
            with open(log, encoding="utf-8") as f:
                self.assertIn("no per-session nonce provisioned — refusing input (fail-closed)",
                              f.read())


if __name__ == "__main__":
    unittest.main()
