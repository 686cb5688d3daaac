"""The consent gate at start-up on a real X display: the dialog answered with
the keys A, D and Escape, closed through the window manager's protocol or
destroyed by another client, or left alone until its countdown runs out; each
gives the start-up outcome and exit code the service relies on. A host that
cannot show the dialog never grants."""
import json
import os
import select
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
import signaling_helpers  # noqa: E402
from overlay_helpers import grab  # noqa: E402

TITLE = "Remote Support Consent"
DENIED = b"KELVANDRUM_ERROR code=2 msg=consent%20denied\n"


class ConsentGate(unittest.TestCase):
    runs = 0

    @classmethod
    def setUpClass(cls):
        cls.server, cls.url = signaling_helpers.dev_server("--host", "127.0.0.1")
        # Between two engines no client is connected: without -noreset the
        # server regenerates then, and a client arriving meanwhile can wait
        # for minutes.
        cls.x = kvdtest.Xvfb(800, 600, extra_args=("-noreset",)).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.x.__exit__(None, None, None)
        cls.server.stop()

    def start(self, tmp, args=("--require-consent",), timeout="20", display=True, **env):
        self.log = os.path.join(tmp, "engine.log")
        e = kvdtest.clean_env(KELVANDRUM_SESSION_TOKEN="t", KELVANDRUM_LOG_FILE=self.log,
                              KELVANDRUM_LOG_LEVEL="info",
                              KELVANDRUM_CONSENT_TIMEOUT_SECONDS=timeout, **env)
        if display:
            e["DISPLAY"] = self.x.display
        else:
            e.pop("DISPLAY", None)
        # Terminal-only: the gate does not depend on capture and encoding.
        ConsentGate.runs += 1
        self.sid = f"consent-{ConsentGate.runs}"
        p = subprocess.Popen([kvdtest.BINARY, "--session-id", self.sid, "--signaling-url", self.url,
                              "--terminal-only", *args], env=e, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.addCleanup(self.reap, p)
        return p

    @staticmethod
    def reap(p):
        if p.poll() is None:
            p.kill()
        p.communicate()

    def ready_line(self, p, timeout=60):
        ready, _, _ = select.select([p.stdout], [], [], timeout)
        return p.stdout.readline() if ready else b"(no ready line)"

    def window(self):
        """Waits until the dialog is on screen with the keyboard focus; returns its id."""
        env = kvdtest.clean_env(DISPLAY=self.x.display)

        def find():
            r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", TITLE],
                               capture_output=True, text=True, env=env)
            ids = r.stdout.split() if r.returncode == 0 else []
            focus = subprocess.run(["xdotool", "getwindowfocus"], capture_output=True, text=True,
                                   env=env).stdout.strip()
            return ids[0] if ids and focus == ids[0] else None
        wid = kvdtest.wait_for(find, timeout=60, interval=0.1)
        self.assertTrue(wid, "the consent dialog never appeared")
        return wid

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], check=True, env=kvdtest.clean_env(DISPLAY=self.x.display))

    def messages(self):
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line)["msg"] for line in f if line.strip()]

    def finish(self, proc, limit=60):
        out, err = proc.communicate(timeout=limit)
        return proc.returncode, out

    def test_answers(self):
        # (name, how the dialog is answered, granted)
        cases = [
            ("key A", lambda w: self.xdotool("key", "a"), True),
            ("key D", lambda w: self.xdotool("key", "d"), False),
            ("Escape", lambda w: self.xdotool("key", "Escape"), False),
            ("Allow button", lambda w: self.click(w, 0.64), True),
            ("window manager close",
             lambda w: subprocess.run([kvdtest.tool("x_close"), "--display", self.x.display,
                                       "--name", TITLE], check=True), False),
            ("destroyed by another client", lambda w: self.xdotool("windowclose", w), False),
        ]
        for name, answer, granted in cases:
            with self.subTest(name), kvdtest.TempDir() as tmp:
                p = self.start(tmp)
                try:
                    wid = self.window()
                    if name == "key A":
                        self.check_dialog_pixels()
                    answer(wid)
                    if granted:
                        self.assertEqual(self.ready_line(p), b"KELVANDRUM_READY session_id=%s\n" % self.sid.encode())
                        p.terminate()
                    code, out = self.finish(p)
                finally:
                    self.reap(p)
                msgs = self.messages()
                if granted:
                    self.assertEqual(code, 0)
                    self.assertIn("Consent granted, continuing with session", msgs)
                else:
                    self.assertEqual((code, out), (2, DENIED))
                    self.assertIn("Consent denied (timeout=false) — aborting session", msgs)
                    self.assertNotIn("Waiting for viewer to connect...", msgs)
                # no dialog left behind
                r = subprocess.run(["xdotool", "search", "--name", TITLE], capture_output=True,
                                   env=kvdtest.clean_env(DISPLAY=self.x.display))
                self.assertNotEqual(r.returncode, 0, name)

    def click(self, wid, fx):
        """Clicks the dialog at a fraction of its width, 80 % down (the buttons' row)."""
        geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True,
                             text=True, env=kvdtest.clean_env(DISPLAY=self.x.display)).stdout
        g = dict(line.split("=", 1) for line in geo.split())
        x = int(g["X"]) + int(int(g["WIDTH"]) * fx)
        y = int(g["Y"]) + int(g["HEIGHT"]) - 64
        self.xdotool("mousemove", str(x), str(y), "click", "1")

    def check_dialog_pixels(self):
        # centred on the screen, background RGB(245,245,245), countdown in red
        s = kvdtest.wait_for(lambda: (lambda s: s if s.pixel(400, 300) == (245, 245, 245) else None)(
            grab(self.x.display)), timeout=10)
        self.assertTrue(s, "the dialog was not painted")
        self.assertEqual(s.pixel(400 - 240, 300 - 130), (245, 245, 245))
        self.assertEqual(s.pixel(400 - 260, 300 - 150), (0, 0, 0))
        reds = s.count((160 + 20, 160 + 150, 300, 30), lambda p: p[0] > 150 and p[1] < 120)
        self.assertGreater(reds, 30)

    def test_countdown_expires_and_env_fallback(self):
        with kvdtest.TempDir() as tmp:
            t0 = time.monotonic()
            p = self.start(tmp, args=(), timeout="2", KELVANDRUM_REQUIRE_CONSENT="yes")
            code, out = self.finish(p)
            took = time.monotonic() - t0
            msgs = self.messages()
        self.assertEqual((code, out), (2, DENIED))
        self.assertGreater(took, 2)
        self.assertIn("Consent denied (timeout=true) — aborting session", msgs)
        self.assertTrue(any("KELVANDRUM_REQUIRE_CONSENT env-var fallback is DEPRECATED" in m
                            for m in msgs))

    def test_no_display_never_grants_and_zero_means_no_dialog(self):
        with kvdtest.TempDir() as tmp:
            p = self.start(tmp, display=False)
            code, out = self.finish(p)
            msgs = self.messages()
        self.assertEqual((code, out), (2, DENIED))
        self.assertTrue(any(m.startswith("workerMain: CreateWindowExW failed err=") for m in msgs))
        with kvdtest.TempDir() as tmp:
            p = self.start(tmp, args=(), KELVANDRUM_REQUIRE_CONSENT="0")
            self.assertEqual(self.ready_line(p), b"KELVANDRUM_READY session_id=%s\n" % self.sid.encode())
            p.terminate()
            code, _ = self.finish(p)
            self.assertEqual(code, 0)
            self.assertFalse(any("Consent" in m for m in self.messages()))


if __name__ == "__main__":
    unittest.main()
