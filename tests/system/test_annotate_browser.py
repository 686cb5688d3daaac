"""The technician draws a rectangle with the reference viewer's annotation
panel over the live picture; it appears on the host's screen at the place and
in the colour drawn, the drawing never reaches the host's input, Clear wipes
it, and the connection glow is on the host's edges while the viewer is
connected. Runs inside a private network namespace (as root)."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from overlay_helpers import Screen, near  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "browser", "live_session.js")
W, H = 1280, 720
BG = (0x40, 0x40, 0x40)


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY, kvdtest.BROWSER_SKIP_REASON)
class AnnotatePanel(unittest.TestCase):
    def test_rectangle_drawn_in_the_viewer_appears_on_the_host(self):
        with kvdtest.Xvfb(W, H) as x, kvdtest.TempDir() as tmp:
            paint = subprocess.Popen([kvdtest.tool("x_paint"), "--display", x.display,
                                      "--rect", f"0,0,{W},{H},404040"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            try:
                self.assertEqual(paint.stdout.readline().strip(), "ready")
                xenv = kvdtest.clean_env(DISPLAY=x.display)
                subprocess.run(["xdotool", "mousemove", "10", "10"], check=True, env=xenv)
                log = os.path.join(tmp, "engine.log")
                spec = {"from": [0.25, 0.25], "to": [0.5, 0.75], "color": "#00ff00", "width": 6,
                        "probe": [320, 360], "rgb": [0, 255, 0], "grabs": tmp}
                proc = subprocess.run(
                    ["node", DRIVER, "--engine", os.environ["KVD_BINARY"], "--display", x.display,
                     "--log", log, "--transport", "rtp", "--points", "[[0.5,0.5]]",
                     "--annotate", json.dumps(spec)],
                    stdout=subprocess.PIPE, timeout=120, env=kvdtest.clean_env())
                pointer = subprocess.run(["xdotool", "getmouselocation", "--shell"],
                                         capture_output=True, text=True, env=xenv).stdout
                with open(log, encoding="utf-8", errors="replace") as f:
                    engine_log = f.read()
                shots = {}
                for name in ("connected", "drawn", "cleared"):
                    path = os.path.join(tmp, name + ".xwd")
                    if os.path.exists(path):
                        with open(path, "rb") as f:
                            shots[name] = Screen(f.read())
            finally:
                paint.kill()
                paint.wait()
        lines = [line for line in proc.stdout.decode().splitlines() if line.startswith("{")]
        self.assertTrue(lines, "driver printed no result")
        result = json.loads(lines[-1])
        self.assertTrue(result.get("ok"), f"{result.get('error')}\n{engine_log[-4000:]}")

        # The glow came with the connection (no compositor: a solid frame).
        c = shots["connected"]
        self.assertTrue(near(c.pixel(0, H // 2), (80, 170, 255), 3), c.pixel(0, H // 2))
        self.assertEqual(c.pixel(W // 2, H // 2), BG)

        # The rectangle from (320,180) to (640,540) in host pixels, within a
        # pixel or two of where the mouse went over the scaled picture.
        d = shots["drawn"]
        green = lambda p: near(p, (0, 255, 0), 2)
        for (x0, y0, w, h) in [(310, 260, 20, 200), (630, 260, 20, 200),   # left, right edges
                               (400, 170, 160, 20), (400, 530, 160, 20)]:  # top, bottom edges
            self.assertGreater(d.count((x0, y0, w, h), green), 50, (x0, y0))
        self.assertEqual(d.count((340, 200, 280, 320), green, step=4), 0)  # hollow
        self.assertEqual(d.pixel(900, 100), BG)

        cl = shots["cleared"]
        self.assertEqual(cl.count((300, 160, 360, 400), green, step=2), 0)
        self.assertEqual(cl.pixel(320, 360), BG)

        # Drawing never became host input: the host pointer stayed put.
        self.assertIn("X=10\nY=10\n", pointer)
        self.assertIn("[anno] drawFromJson queued tool=rectangle points=2 total=1", engine_log)


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
