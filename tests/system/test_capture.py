"""Both capture backends on a real Xvfb: known colours at the right places,
damage rectangles, the pointer drawn at its position minus the hotspot into
a copy, the secure desktop watcher following the root property, and a lost
X server."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kvdtest import Xvfb, clean_env, wait_for  # noqa: E402
from capture_helpers import CaptureProbe, Painter, log_lines  # noqa: E402

RED = {"b": 0, "g": 0, "r": 255}
GREEN = {"b": 0, "g": 255, "r": 0}
BLUE = {"b": 255, "g": 0, "r": 0}
BLACK = {"b": 0, "g": 0, "r": 0}


class CaptureOnXvfb(unittest.TestCase):
    def setUp(self):
        self.xvfb = Xvfb(640, 480).__enter__()
        self.addCleanup(self.xvfb.__exit__, None, None, None)
        self.tmp = tempfile.mkdtemp(prefix="kvdcap-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.log = os.path.join(self.tmp, "probe.log")

    def probe(self):
        p = CaptureProbe(self.xvfb.display, self.log)
        self.addCleanup(p.close)
        return p

    def painter(self, *args):
        p = Painter(self.xvfb.display, *args)
        self.addCleanup(p.close)
        return p

    def test_both_backends_return_painted_pixels_and_draw_the_pointer(self):
        # An 8 x 8 blue pointer with hotspot (3, 2) at (300, 200): its top-left
        # pixel lands at (297, 198).
        self.painter("--rect", "10,20,30,40,ff0000", "--rect", "600,440,40,40,00ff00",
                     "--cursor", "8,8,3,2,0000ff", "--warp", "300,200")
        probe = self.probe()
        for backend in ("gdi", "dxgi"):
            with self.subTest(backend=backend):
                opened = probe.cmd(f"open {backend} -1")
                self.assertTrue(opened["ok"], opened)
                self.assertEqual((opened["w"], opened["h"]), (640, 480))
                frame = probe.cmd("until_valid 3000")
                self.assertTrue(frame["valid"], frame)
                self.assertEqual(frame["stride"], 640 * 4)
                expected = {(10, 20): RED, (39, 59): RED, (40, 60): BLACK, (9, 20): BLACK,
                            (600, 440): GREEN, (639, 479): GREEN,
                            (297, 198): BLUE, (304, 205): BLUE,
                            (296, 198): BLACK, (297, 197): BLACK, (305, 205): BLACK}
                for (x, y), colour in expected.items():
                    self.assertEqual(probe.cmd(f"px {x} {y}"), colour, f"{backend} at {x},{y}")

    def test_pointer_moves_leave_no_trail_in_the_duplicated_image(self):
        painter = self.painter("--cursor", "8,8,0,0,0000ff", "--warp", "100,100")
        probe = self.probe()
        self.assertTrue(probe.cmd("open dxgi -1")["ok"])
        probe.cmd("until_valid 3000")
        self.assertEqual(probe.cmd("px 100 100"), BLUE)
        painter.cmd("warp 400 300")
        # The screen is static: later frames come from the cache.
        for _ in range(3):
            probe.cmd("frame")
        self.assertEqual(probe.cmd("px 100 100"), BLACK)
        self.assertEqual(probe.cmd("px 400 300"), BLUE)
        cursor = probe.cmd("cursor")
        self.assertEqual((cursor["w"], cursor["h"]), (8, 8))
        self.assertEqual(cursor["x"], 400 * 65535 // 640)
        # With the overlay the pointer stays out of the image.
        self.assertTrue(probe.cmd("open dxgi -1 overlay")["ok"])
        probe.cmd("until_valid 3000")
        self.assertEqual(probe.cmd("px 400 300"), BLACK)

    def test_damage_reports_the_changed_region(self):
        painter = self.painter()
        probe = self.probe()
        self.assertTrue(probe.cmd("open dxgi -1")["ok"])
        probe.cmd("until_valid 3000")
        # Static screen: valid frames without dirty rectangles.
        still = probe.cmd("frame")
        self.assertTrue(still["valid"])
        self.assertEqual(still["dirty"], [])
        painter.cmd("rect 200,150,64,32,00ff00")
        frame = probe.cmd("until_dirty 3000")
        self.assertTrue(frame["dirty"], frame)
        xs = [r[0] for r in frame["dirty"]] + [r[0] + r[2] for r in frame["dirty"]]
        ys = [r[1] for r in frame["dirty"]] + [r[1] + r[3] for r in frame["dirty"]]
        self.assertEqual((min(xs), min(ys), max(xs), max(ys)), (200, 150, 264, 182))
        self.assertEqual(probe.cmd("px 232 160"), GREEN)
        self.assertIn("[dirty] active (rects={})".format(len(frame["dirty"])), log_lines(self.log))

    def test_unchanged_screens_are_marked_by_both_backends(self):
        painter = self.painter("--cursor", "8,8,0,0,0000ff", "--warp", "100,100")
        probe = self.probe()
        for backend, x in (("gdi", 300), ("dxgi", 400)):
            with self.subTest(backend=backend):
                self.assertTrue(probe.cmd(f"open {backend} -1")["ok"])
                self.assertFalse(probe.cmd("until_valid 3000")["unchanged"])
                self.assertTrue(probe.cmd("frame")["unchanged"])
                # One changed pixel row at the bottom: the row comparison
                # must run to the end of the image to see it.
                painter.cmd("rect 0,479,1,1,ff0000")
                changed = probe.cmd("until_dirty 3000") if backend == "dxgi" else \
                    probe.cmd("frame")
                self.assertFalse(changed["unchanged"], changed)
                self.assertEqual(probe.cmd("px 0 479"), RED)
                self.assertTrue(probe.cmd("frame")["unchanged"])
                # The pointer is drawn into these images: a move is a change.
                painter.cmd(f"warp {x} 200")
                moved = probe.cmd("frame")
                self.assertFalse(moved["unchanged"], moved)
                self.assertEqual(probe.cmd(f"px {x} 200"), BLUE)
                painter.cmd("rect 0,479,1,1,000000")

    def test_animated_region_keeps_producing_dirty_frames(self):
        self.painter("--animate", "50,60,20,10,40")
        probe = self.probe()
        self.assertTrue(probe.cmd("open dxgi -1")["ok"])
        probe.cmd("until_valid 3000")
        seen = set()
        for _ in range(20):
            frame = probe.cmd("until_dirty 3000")
            self.assertTrue(frame["dirty"])
            for r in frame["dirty"]:
                self.assertTrue(r[0] >= 50 and r[1] >= 60 and r[0] + r[2] <= 70 and
                                r[1] + r[3] <= 70, r)
            seen.add(probe.cmd("px 55 65")["r"])
            if seen == {0, 255}:
                break
        self.assertEqual(seen, {0, 255})

    def test_secure_desktop_watcher_follows_the_root_property(self):
        probe = self.probe()
        self.assertEqual(probe.cmd("watch_start 50"), {"ok": True})

        def xprop(*args):
            subprocess.run(["xprop", "-display", self.xvfb.display, "-root", *args], check=True,
                           env=clean_env(), timeout=10)

        xprop("-f", "_KVD_INPUT_DESKTOP", "8s", "-set", "_KVD_INPUT_DESKTOP", "Winlogon")
        ev = json.loads(probe.readline(10))
        self.assertEqual(ev, {"event": {"type": "secure_desktop", "v": 1, "active": True,
                                        "name": "Winlogon"}})
        xprop("-remove", "_KVD_INPUT_DESKTOP")
        ev = json.loads(probe.readline(10))
        self.assertEqual(ev, {"event": {"type": "secure_desktop", "v": 1, "active": False}})
        self.assertEqual(probe.cmd("watch_stop"), {"ok": True})
        msgs = log_lines(self.log)
        self.assertEqual(msgs.count("secure desktop entered: Winlogon"), 1)
        self.assertEqual(msgs.count("secure desktop exited -> Default"), 1)

    def test_lost_x_server_ends_captures_not_the_process(self):
        probe = self.probe()
        self.assertTrue(probe.cmd("open dxgi -1")["ok"])
        probe.cmd("until_valid 3000")
        self.xvfb.__exit__(None, None, None)
        frame = probe.cmd("frame")
        self.assertFalse(frame["valid"])
        # Repeated failures end the duplication; the grab path cannot open.
        dead = wait_for(lambda: probe.cmd("frame")["dead"], timeout=30, interval=0)
        self.assertTrue(dead)
        self.assertFalse(probe.cmd("open gdi -1")["ok"])
        self.assertIsNone(probe.proc.poll())

if __name__ == "__main__":
    unittest.main()
