"""The secure desktop path end to end: the engine serves a viewer in headless
Chromium with an input helper (the same binary in --input-mode) as a second
process. Setting the input-desktop property to "Winlogon" makes the viewer
see the secure display's pixels through shared memory and type into it via
the helper; setting it back returns to the normal capture.

Runs inside a private network namespace (as root), like the live session test.
"""
import json
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
import test_live_session as live  # noqa: E402

MAIN = (1280, 720, [(0, 0, 640, 360, (0xE0, 0x20, 0x20)), (640, 360, 640, 360, (0x20, 0x30, 0xD0))])
SECURE = (1024, 768, [(0, 0, 512, 384, (0x20, 0xC0, 0x30)), (512, 384, 512, 384, (0xE0, 0xC0, 0x20))])
PIPE = "kvd-input"


def paint(display, rects):
    p = subprocess.Popen(
        [kvdtest.tool("x_paint"), "--display", display,
         *[a for (x, y, w, h, (r, g, b)) in rects for a in ("--rect", f"{x},{y},{w},{h},{r:02x}{g:02x}{b:02x}")]],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "ready"
    return p


def phase(screen, **extra):
    width, height, rects = screen
    return dict(points=[[(x + w / 2) / width, (y + h / 2) / height] for (x, y, w, h, _) in rects],
                rgb=[list(c) for (*_, c) in rects], size=[width, height], **extra)


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY, kvdtest.BROWSER_SKIP_REASON)
class SecureDesktopTest(unittest.TestCase):
    def test_secure_desktop_through_the_helper(self):
        with kvdtest.Xvfb(*MAIN[:2]) as main, kvdtest.Xvfb(*SECURE[:2]) as secure, \
                kvdtest.TempDir() as tmp:
            pipes = os.path.join(tmp, "pipes")
            os.mkdir(pipes, 0o700)
            env = kvdtest.clean_env(KELVANDRUM_PIPE_DIR=pipes, KELVANDRUM_INPUT_PIPE_TOKEN="s3cret",
                                    KELVANDRUM_SHM_V2="1", KELVANDRUM_LOG_LEVEL="info")
            rec = live.Recorder(secure.display)
            painters = [paint(main.display, MAIN[2]), paint(secure.display, SECURE[2])]
            helper_log = os.path.join(tmp, "helper.log")
            helper = subprocess.Popen(
                [os.environ["KVD_BINARY"], "--input-mode", "--session-id", "live-1",
                 "--input-pipe", PIPE],
                env=dict(env, DISPLAY=main.display, KVD_SECURE_DISPLAY=secure.display,
                         KELVANDRUM_LOG_FILE=helper_log))
            try:
                kvdtest.wait_for(lambda: os.path.exists(os.path.join(pipes, PIPE + ".sock")), 20)
                log = os.path.join(tmp, "engine.log")
                start = phase(MAIN)
                proc = subprocess.run(
                    ["node", live.DRIVER, "--engine", os.environ["KVD_BINARY"],
                     "--display", main.display, "--log", log, "--transport", "rtp",
                     "--points", json.dumps(start["points"]),
                     "--engine-args", json.dumps(["--input-pipe", PIPE]),
                     "--phases", json.dumps([phase(SECURE, desktop="Winlogon", type="ok"),
                                             phase(MAIN, desktop="Default")])],
                    stdout=subprocess.PIPE, timeout=150, env=env)
                time.sleep(0.5)
                events = rec.drain()
                with open(log, encoding="utf-8", errors="replace") as f:
                    engine_log = f.read()
            finally:
                helper.terminate()
                helper_rc = helper.wait(20)
                for p in painters:
                    p.kill()
                    p.wait()
                rec.close()
            with open(helper_log, encoding="utf-8", errors="replace") as f:
                helper_text = f.read()

        lines = [line for line in proc.stdout.decode().splitlines() if line.startswith("{")]
        self.assertTrue(lines, "driver printed no result")
        result = json.loads(lines[-1])
        self.assertTrue(result.get("ok"), f"{result.get('error')}\n{engine_log[-3000:]}")
        self.assertEqual([p["ok"] for p in result["phases"]], [True, True],
                         f"{result['phases']}\n{engine_log[-4000:]}\n{helper_text[-2000:]}")
        secure_seen, main_again = result["phases"]
        self.assertEqual([secure_seen["sample"]["width"], secure_seen["sample"]["height"]], [1024, 768])
        self.assertEqual([main_again["sample"]["width"], main_again["sample"]["height"]], [1280, 720])

        typed = "".join(e.get("text", "") for e in events if e.get("ev") == "key" and e.get("down"))
        self.assertEqual(typed, "ok", events)
        for line in ("Input delegated to SYSTEM helper via pipe: kvd-input",
                     "Secure Desktop entered — capture switch pending",
                     "Switched to SharedMemoryCaptureV2: 1024x768",
                     "Secure Desktop exited — capture switch pending",
                     "Switched back to DXGI capture: 1280x720"):
            self.assertIn(line, engine_log)
        self.assertEqual(helper_rc, 0)
        self.assertEqual(result["engineExit"], {"code": 0, "signal": None})


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
