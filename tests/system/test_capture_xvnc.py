"""Displays on Xvnc, whose RandR really switches modes: host resolution
change and restore, the duplication path re-initialising after a mode change
(access lost), and several monitors made with xrandr --setmonitor."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from capture_helpers import CaptureProbe, Painter, Xvnc, log_lines, xrandr  # noqa: E402


def screen_size(display):
    first = xrandr(display).stdout.splitlines()[0]
    current = first.split("current ")[1].split(",")[0]
    w, h = current.split(" x ")
    return int(w), int(h)


class CaptureOnXvnc(unittest.TestCase):
    def setUp(self):
        self.x = Xvnc(1280, 720).__enter__()
        self.addCleanup(self.x.__exit__, None, None, None)
        self.tmp = tempfile.mkdtemp(prefix="kvdcap-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.log = os.path.join(self.tmp, "probe.log")

    def probe(self):
        p = CaptureProbe(self.x.display, self.log)
        self.addCleanup(p.close)
        return p

    def test_host_mode_change_and_restore(self):
        probe = self.probe()
        modes = probe.cmd("modes")
        sizes = [(m["width"], m["height"]) for m in modes["resolutions"]]
        self.assertIn((1024, 768), sizes)
        self.assertEqual(sizes, sorted(sizes, reverse=True))
        self.assertTrue(modes["hostResize"])
        self.assertEqual(probe.cmd("change 1024 768"), {"ok": True})
        self.assertEqual(screen_size(self.x.display), (1024, 768))
        self.assertEqual(probe.cmd("change 1920 1080"), {"ok": True})
        self.assertEqual(screen_size(self.x.display), (1920, 1080))
        self.assertEqual(probe.cmd("change 1000 1000"), {"ok": False})  # not offered
        self.assertEqual(probe.cmd("restore"), {"ok": True})
        self.assertEqual(screen_size(self.x.display), (1280, 720))
        # A change left in place is undone when the manager goes away.
        self.assertEqual(probe.cmd("change 800 600"), {"ok": True})
        probe.close()
        self.assertEqual(screen_size(self.x.display), (1280, 720))
        msgs = log_lines(self.log)
        self.assertIn("[resolution] host display restored to 1280x720", msgs)

    def test_mode_change_makes_duplication_reinitialise(self):
        probe = self.probe()
        self.assertTrue(probe.cmd("open dxgi -1")["ok"])
        self.assertTrue(probe.cmd("until_valid 3000")["valid"])
        self.assertEqual(xrandr(self.x.display, "-s", "1024x768").returncode, 0)
        frame = probe.cmd("until_valid 3000")
        self.assertTrue(frame["valid"], frame)
        self.assertGreater(frame["tries"], 1)  # the loss itself gave no frame
        self.assertEqual((frame["w"], frame["h"]), (1024, 768))
        msgs = log_lines(self.log)
        self.assertIn("DXGI access lost, reinitializing (attempt 1/8, monitor -1)...", msgs)
        self.assertIn("DXGI re-acquired after access loss: 1024x768", msgs)
        self.assertFalse(probe.cmd("frame")["dead"])

    def test_second_monitor_is_listed_and_captured_at_its_origin(self):
        out = xrandr(self.x.display, "--setmonitor", "LEFT", "640/169x720/190+0+0", "VNC-0")
        self.assertEqual(out.returncode, 0, out.stderr)
        out = xrandr(self.x.display, "--setmonitor", "RIGHT", "640/169x720/190+640+0", "none")
        self.assertEqual(out.returncode, 0, out.stderr)
        painter = Painter(self.x.display, "--rect", "700,10,20,20,ff0000")
        self.addCleanup(painter.close)
        probe = self.probe()
        listed = probe.cmd("monitors")
        ids = [m["id"] for m in listed["monitors"]]
        self.assertEqual(sorted(ids), ["LEFT", "RIGHT"])
        right = ids.index("RIGHT")
        self.assertEqual(listed["monitors"][right]["x"], 640)
        for backend in ("gdi", "dxgi"):
            with self.subTest(backend=backend):
                opened = probe.cmd(f"open {backend} {right}")
                self.assertTrue(opened["ok"], opened)
                self.assertEqual((opened["ox"], opened["w"], opened["h"]), (640, 640, 720))
                self.assertTrue(probe.cmd("until_valid 3000")["valid"])
                self.assertEqual(probe.cmd("px 60 10"), {"b": 0, "g": 0, "r": 255})
                self.assertEqual(probe.cmd("px 59 10"), {"b": 0, "g": 0, "r": 0})


if __name__ == "__main__":
    unittest.main()
