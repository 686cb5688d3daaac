"""What the person at the host sees of a session, judged from the screen's
pixels (xwd): technician's annotations drawn where and in the colours the
messages say, a clear that leaves the screen as it was, the connection glow at
the edges and nothing in the middle, with and without a compositing manager,
and both overlays following a screen size change (Xvnc)."""
import json
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from capture_helpers import LineProcess, Xvnc, xrandr  # noqa: E402
from overlay_helpers import grab, near  # noqa: E402

W, H = 800, 600
BG = (0x40, 0x40, 0x40)
GLOW = (80, 170, 255)


def draw(tool, points, color="#FF0000", width=4, **extra):
    return json.dumps({"type": "annotation_draw", "id": f"{tool}-{time.time()}", "tool": tool,
                       "color": color, "strokeWidth": width, "points": points, **extra})


class HostScreen:
    """A painted background and the feature driver on one display."""

    def __init__(self, display, width, height):
        self.display = display
        self.paint = LineProcess([kvdtest.tool("x_paint"), "--display", display,
                                  "--rect", f"0,0,{width},{height},404040"])
        assert self.paint.readline() == "ready"
        self.driver = LineProcess([kvdtest.tool("features_host_screen")],
                                  env=kvdtest.clean_env(DISPLAY=display))
        self.ready = self.driver.readline()
        assert self.ready.startswith("ready"), self.ready

    def cmd(self, line):
        self.driver.send(line)
        assert self.driver.readline() == "ok"

    def until(self, check, what, timeout=10):
        shot = kvdtest.wait_for(lambda: (lambda s: s if check(s) else None)(grab(self.display)),
                                timeout=timeout, interval=0.1)
        if not shot:
            raise AssertionError("screen never showed " + what)
        return shot

    def close(self):
        self.driver.send("quit")
        self.driver.close()
        self.paint.close()


class Plain(unittest.TestCase):
    """Xvfb without a compositing manager: shapes cut to the painted pixels."""

    @classmethod
    def setUpClass(cls):
        cls.x = kvdtest.Xvfb(W, H).__enter__()
        cls.host = HostScreen(cls.x.display, W, H)
        cls.before = kvdtest.wait_for(lambda: (lambda s: s if s.pixel(5, 5) == BG else None)(
            grab(cls.x.display)))

    @classmethod
    def tearDownClass(cls):
        cls.host.close()
        cls.x.__exit__(None, None, None)

    def test_strokes_in_place_and_colour_then_clear_restores_the_screen(self):
        h = self.host
        self.assertIn("compositor=0", h.ready)
        h.cmd(draw("rect", [[300, 200], [100, 100]]))
        h.cmd(draw("freehand", [[400, 300], [500, 300], [500, 400]], "#00ff00", 6))
        h.cmd(draw("arrow", [[600, 500], [700, 500]], "#0000FF", 2))
        h.cmd(draw("pointer", [[200, 450]], "#ffff00", 2))
        h.cmd(draw("text", [[550, 100]], "#FFFFFF", 4, text="HELLO"))
        h.cmd(draw("square", [[10, 10], [50, 50]]))  # rejected: nothing drawn
        text_box = (550, 100, 200, 40)
        s = h.until(lambda s: s.count(text_box, lambda p: p == (255, 255, 255)) > 80,
                    "the last stroke")
        red, green, blue, yellow = (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0)
        for (x, y), want in [((100, 150), red), ((300, 150), red), ((200, 100), red),
                             ((200, 200), red), ((200, 150), BG), ((30, 30), BG),
                             ((450, 300), green), ((500, 350), green), ((450, 350), BG),
                             ((650, 500), blue), ((690, 496), blue), ((200, 430), yellow),
                             ((200, 416), yellow), ((200, 402), yellow), ((200, 450), BG)]:
            self.assertEqual(s.pixel(x, y), want, (x, y))
        # an arrow head: two lines back from the tip, 0.45 rad either side
        self.assertEqual(s.pixel(688, 495), blue)
        self.assertEqual(s.pixel(688, 505), blue)
        h.cmd('{"type":"annotation_clear"}')
        after = h.until(lambda s: s.pixels == self.before.pixels, "the screen as before")
        self.assertEqual(after.pixel(100, 150), BG)

    def test_indicator_frame_at_the_edges_only(self):
        h = self.host
        h.cmd("indicator")
        s = h.until(lambda s: s.pixel(0, H // 2) != BG, "the indicator")
        # Without blending the glow is a solid frame of its brightest part.
        for x, y in [(0, H // 2), (W - 1, H // 2), (W // 2, 0), (W // 2, H - 1), (0, 0), (6, 300)]:
            self.assertTrue(near(s.pixel(x, y), GLOW, 3), (x, y, s.pixel(x, y)))
        for x, y in [(12, 300), (W - 13, 300), (400, 12), (W // 2, H // 2), (100, 100)]:
            self.assertEqual(s.pixel(x, y), BG, (x, y))
        h.cmd("indicator-off")
        h.until(lambda s: s.pixels == self.before.pixels, "the screen without the frame")


@unittest.skipUnless(shutil.which("xcompmgr"), "needs xcompmgr (a compositing manager)")
class Composited(unittest.TestCase):
    """With a compositing manager: per-pixel alpha blended over the desktop."""

    def test_glow_blends_and_strokes_stay_opaque(self):
        with kvdtest.Xvfb(W, H) as x:
            comp = subprocess.Popen(["xcompmgr", "-d", x.display], stderr=subprocess.DEVNULL)
            try:
                host = HostScreen(x.display, W, H)
                try:
                    def composited():
                        host.driver.send("compositor")
                        return host.driver.readline() == "compositor=1"
                    self.assertTrue(kvdtest.wait_for(composited, timeout=10, interval=0.2))
                    host.cmd("indicator")
                    host.cmd(draw("rect", [[100, 100], [300, 200]]))
                    s = host.until(lambda s: s.pixel(0, H // 2) != BG and s.pixel(100, 150) != BG,
                                   "glow and stroke")
                    # premultiplied (34,73,110) at alpha 110 over grey 64
                    self.assertTrue(near(s.pixel(0, H // 2), (70, 109, 146), 4), s.pixel(0, 300))
                    # half way in: alpha 27
                    self.assertTrue(near(s.pixel(18, H // 2), (65, 75, 84), 4), s.pixel(18, 300))
                    self.assertEqual(s.pixel(36, H // 2), BG)
                    self.assertEqual(s.pixel(W // 2, H // 2), BG)
                    self.assertEqual(s.pixel(100, 150), (255, 0, 0))
                    self.assertEqual(s.pixel(200, 150), BG)
                finally:
                    host.close()
            finally:
                comp.terminate()
                comp.wait()


class ScreenChange(unittest.TestCase):
    def test_overlays_follow_a_mode_change(self):
        with Xvnc(1024, 768) as x:
            host = HostScreen(x.display, 1280, 1024)
            try:
                host.cmd("indicator")
                host.cmd(draw("rect", [[1100, 600], [1200, 700]], "#00FF00"))
                s = host.until(lambda s: near(s.pixel(1023, 300), GLOW, 3), "the frame")
                self.assertEqual((s.width, s.height), (1024, 768))
                xrandr(x.display, "-s", "1280x720")
                s = host.until(lambda s: s.width == 1280 and near(s.pixel(1279, 300), GLOW, 3)
                               and s.pixel(1100, 650) == (0, 255, 0), "overlays at the new size")
                self.assertEqual(s.pixel(1023, 300), BG)
                self.assertTrue(near(s.pixel(640, 719), GLOW, 3))
            finally:
                host.close()


if __name__ == "__main__":
    unittest.main()
