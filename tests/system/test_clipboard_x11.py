"""Clipboard sync against the real CLIPBOARD selection of an Xvfb, with xclip
as the other program: texts both ways (INCR transfers of several MiB
included), the targets offered, Latin-1 for STRING requesters, echo
suppression, repeats not reported, losing and giving up ownership."""
import hashlib
import json
import os
import queue
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402


class Probe:
    def __init__(self, display):
        self.proc = subprocess.Popen([kvdtest.tool("clipboard_probe"), display], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.next(20)["ev"] == "ready"

    def _read(self):
        for line in self.proc.stdout:
            self.events.put(json.loads(line))

    def next(self, timeout=10):
        return self.events.get(timeout=timeout)

    def cmd(self, line, expect):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        while True:
            ev = self.next(20)
            if ev["ev"] == expect:
                return ev
            self.events.put(ev)  # a change arriving meanwhile: keep it

    def quiet(self, wait=0.7):
        try:
            return self.events.get(timeout=wait)
        except queue.Empty:
            return None

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def sha(data):
    return hashlib.sha256(data).hexdigest()


@unittest.skipUnless(os.path.exists("/usr/bin/xclip") and os.path.exists("/usr/bin/Xvfb"),
                     "needs xclip and Xvfb")
class ClipboardX11Test(unittest.TestCase):
    def setUp(self):
        self.x = kvdtest.Xvfb(640, 480).__enter__()
        self.tmp = kvdtest.TempDir()
        self.dir = self.tmp.__enter__()
        self.probe = Probe(self.x.display)

    def tearDown(self):
        self.probe.close()
        self.tmp.__exit__(None, None, None)
        self.x.__exit__(None, None, None)

    def xclip_in(self, data):
        subprocess.run(["xclip", "-i", "-selection", "clipboard", "-display", self.x.display],
                       input=data, check=True, timeout=20)

    def xclip_out(self, target=None):
        args = ["xclip", "-o", "-selection", "clipboard", "-display", self.x.display]
        r = subprocess.run(args + (["-t", target] if target else []), capture_output=True, timeout=30)
        return r.stdout if r.returncode == 0 else None

    def engine_sets(self, data, suppress=True):
        path = os.path.join(self.dir, "text")
        with open(path, "wb") as f:
            f.write(data)
        if suppress:
            self.probe.proc.stdin.write("suppress\n")
        self.assertTrue(self.probe.cmd(f"set {path}", "set")["ok"])

    def test_engine_text_read_by_xclip_including_incr(self):
        # 1 MiB is four times the request limit: served in INCR chunks.
        big = (b"0123456789abcdef" * 65536)[:1048576 - 3] + "\u00e9".encode() + b"!"
        self.engine_sets(big)
        self.assertEqual(self.xclip_out(), big)
        self.assertEqual(self.xclip_out("TARGETS").split(), [b"TARGETS", b"UTF8_STRING", b"STRING", b"TEXT"])
        self.assertIsNone(self.probe.quiet(), "the engine's own write was reported")

        self.engine_sets("caf\u00e9 \u2603".encode())
        self.assertEqual(self.xclip_out("UTF8_STRING"), "caf\u00e9 \u2603".encode())
        self.assertEqual(self.xclip_out("TEXT"), "caf\u00e9 \u2603".encode())
        self.assertEqual(self.xclip_out("STRING"), b"caf\xe9 ?")

        # Another program takes the clipboard: its text is reported, ours is gone.
        self.xclip_in(b"taken over")
        ev = self.probe.next()
        self.assertEqual((ev["ev"], ev["sha"]), ("change", sha(b"taken over")))
        self.assertEqual(self.probe.cmd("get", "get")["sha"], sha(b"taken over"))

        # Clearing gives the selection up: nobody owns it afterwards.
        self.engine_sets(b"mine")
        self.assertEqual(self.probe.cmd("clear", "clear")["ok"], True)
        self.assertIsNone(self.xclip_out())
        self.assertEqual(self.probe.cmd("get", "get")["bytes"], -1)

    def test_xclip_text_reported_once_including_incr(self):
        # xclip hands out more than a few MiB in INCR chunks itself.
        big = os.urandom(3 * 1024 * 1024).hex().encode()  # 6 MiB of text
        self.xclip_in(big)
        ev = self.probe.next(30)
        self.assertEqual((ev["bytes"], ev["sha"]), (len(big), sha(big)))
        for text in (b"one", b"one", b"two"):
            self.xclip_in(text)
        got = [self.probe.next()["sha"], self.probe.next()["sha"]]
        self.assertEqual(got, [sha(b"one"), sha(b"two")])
        self.assertIsNone(self.probe.quiet(), "a repeated text was reported again")

        # Suppression swallows exactly the next update, then changes flow again.
        self.engine_sets(b"from viewer")
        self.assertIsNone(self.probe.quiet())
        self.xclip_in(b"local again")
        self.assertEqual(self.probe.next()["sha"], sha(b"local again"))


@unittest.skipUnless(os.path.exists(kvdtest.BINARY), "needs the engine binary")
class NoDisplayTest(unittest.TestCase):
    def test_terminal_only_host_without_display_turns_sync_off_with_one_line(self):
        import socket
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        with kvdtest.TempDir() as tmp:
            log = os.path.join(tmp, "engine.log")
            env = kvdtest.clean_env(KELVANDRUM_SESSION_TOKEN="t", KELVANDRUM_LOG_FILE=log,
                                    KELVANDRUM_LOG_LEVEL="info")
            env.pop("DISPLAY", None)
            proc = subprocess.Popen([kvdtest.BINARY, "--session-id", "nd", "--terminal-only", "--pipe",
                                     str(listener.getsockname()[1])], env=env, stdout=subprocess.PIPE,
                                    text=True)
            try:
                listener.settimeout(20)
                conn, _ = listener.accept()
                conn.recv(4096)  # hello
                conn.sendall(b'{"type":"SIGNALING_CONNECTED","payload":{}}\n')
                self.assertTrue(proc.stdout.readline().startswith("KELVANDRUM_READY"))
                proc.terminate()
                self.assertEqual(proc.wait(20), 0)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                listener.close()
            with open(log, encoding="utf-8") as f:
                lines = [json.loads(line)["msg"] for line in f]
        self.assertEqual([m for m in lines if "[clipboard]" in m],
                         ["[clipboard] no X display reachable — clipboard sync off"])
        self.assertTrue(any(m.startswith("clearClipboard: OpenClipboard failed, err=") for m in lines))
        self.assertIn("performCleanup: lock=false clipboard=false files=0 bytes=0 input=true", lines)


if __name__ == "__main__":
    unittest.main()
