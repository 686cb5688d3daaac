"""The privacy panel of the reference viewer against the real engine on
Xvnc: the input-block switch disables the host's VNC keyboard and pointer
(an RFB client's input stops reaching the X server) while the technician's
clicks still arrive; the privacy switch with "block local input" covers the
host's screen with the notice (Xvnc has no DPMS), which the viewer shows too;
a SIGKILL of the engine then leaves the guardian to give the devices back.

Runs inside a private network namespace (as root), like the other browser
tests.
"""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from overlay_helpers import grab, near  # noqa: E402
from rfb_client import RfbClient  # noqa: E402
from test_privacy import Recorder, device_states, guardians, start_with_displayfd, stop  # noqa: E402

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser", "privacy_session.js")
W, H = 800, 600
STRIP = (0x30, 0x60, 0xC0)  # painted across the top quarter


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY, kvdtest.BROWSER_SKIP_REASON)
class PrivacyPanel(unittest.TestCase):
    def test_view_only_session_never_blocks(self):
        server, display = start_with_displayfd(
            ["Xvnc", "-geometry", f"{W}x{H}", "-SecurityTypes", "None", "-rfbport", "-1",
             "-nolisten", "tcp"])
        try:
            with kvdtest.TempDir() as tmp:
                log = os.path.join(tmp, "engine.log")
                driver = subprocess.Popen(
                    ["node", DRIVER, "--engine", kvdtest.BINARY, "--display", display,
                     "--log", log, "--view-only", "1"],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                    env=kvdtest.clean_env())
                try:
                    msg = json.loads(driver.stdout.readline() or "{}")
                    if msg.get("checkpoint") == "view_only_privacy_on":
                        states = device_states(display)
                        driver.stdin.write("go\n")
                        driver.stdin.flush()
                        msg = json.loads(driver.stdout.readline() or "{}")
                finally:
                    kvdtest.finish(driver)
                with open(log, encoding="utf-8", errors="replace") as f:
                    engine_log = f.read()
        finally:
            stop(server)
        self.assertTrue(msg.get("ok"), f"{msg}\n{engine_log[-3000:]}")
        self.assertTrue(all(states.values()), states)
        self.assertIn("view-only session", msg["statuses"]["blockRefused"])
        self.assertFalse(msg["blockSwitchChecked"])
        self.assertEqual(msg["errors"], [])
        self.assertEqual(msg["engineExit"], {"code": 0, "signal": None})
        for line in ("[input-block] refused — view-only session",
                     "[privacy] blockLocalInput ignored — a view-only session cannot block",
                     "privacy mode ENABLED", "privacy mode DISABLED"):
            self.assertIn(line, engine_log)
        self.assertNotIn("local user input BLOCKED", engine_log)

    def test_switches_against_the_engine(self):
        port = kvdtest.free_port()
        server, display = start_with_displayfd(
            ["Xvnc", "-geometry", f"{W}x{H}", "-SecurityTypes", "None", "-localhost",
             "-rfbport", str(port), "-nolisten", "tcp"])
        procs = []
        try:
            recorder = Recorder(display)
            paint = subprocess.Popen([kvdtest.tool("x_paint"), "--display", display, "--rect",
                                      f"0,0,{W},{H // 4},{STRIP[0]:02x}{STRIP[1]:02x}{STRIP[2]:02x}"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            procs.append(paint)
            self.assertEqual(paint.stdout.readline().strip(), "ready")
            rfb = RfbClient(port)
            with kvdtest.TempDir() as tmp:
                log = os.path.join(tmp, "engine.log")
                driver = subprocess.Popen(
                    ["node", DRIVER, "--engine", kvdtest.BINARY, "--display", display,
                     "--log", log], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                    env=kvdtest.clean_env())
                procs.append(driver)
                try:
                    result = self.drive(driver, display, recorder, rfb)
                finally:
                    with open(log, encoding="utf-8", errors="replace") as f:
                        self.engine_log = f.read()
            self.assertTrue(result.get("ok"), f"{result.get('error')}\n{self.engine_log[-3000:]}")
            self.assertEqual(result["errors"], [])
            self.assertGreater(result["framesWhilePrivate"], 0)
            # Only what a later warning flushed survives the SIGKILL.
            for line in ("[guardian] started pid=", "[input-block] local user input BLOCKED",
                         "[input-block] local user input RELEASED",
                         "[privacy] DPMS power-off unavailable err=95"):
                self.assertIn(line, self.engine_log)
            rfb.close()
            recorder.close()
        finally:
            for p in procs:
                kvdtest.finish(p)
            stop(server)

    def local_input_arrives(self, recorder, rfb, x, y, wait):
        recorder.presses(0.2)
        rfb.click(x, y)

        def seen(events):
            return any(e["ev"] == "button" and (e["x"], e["y"]) == (x, y) for e in events)
        return seen(recorder.presses(wait, seen))

    def drive(self, driver, display, recorder, rfb):
        def next_line():
            line = driver.stdout.readline()
            self.assertTrue(line, "driver ended early")
            return json.loads(line)

        def go():
            driver.stdin.write("go\n")
            driver.stdin.flush()

        msg = next_line()
        if "checkpoint" not in msg:
            return msg
        self.assertEqual(msg["checkpoint"], "input_blocked")
        states = device_states(display)
        self.assertFalse(states["TigerVNC pointer"], states)
        self.assertFalse(states["TigerVNC keyboard"], states)
        self.assertFalse(self.local_input_arrives(recorder, rfb, 100, 400, 1.0))
        go()

        self.assertEqual(next_line()["checkpoint"], "technician_clicked")
        presses = [e for e in recorder.presses(5, lambda ev: ev) if e["ev"] == "button"]
        self.assertTrue(presses, "the technician's click did not arrive")
        self.assertLessEqual(abs(presses[0]["x"] - W // 2), 3)
        go()

        self.assertEqual(next_line()["checkpoint"], "input_released")
        self.assertTrue(all(device_states(display).values()))
        self.assertTrue(self.local_input_arrives(recorder, rfb, 120, 420, 3))
        go()

        msg = next_line()
        self.assertEqual(msg["checkpoint"], "privacy_on")
        screen = grab(display)
        self.assertEqual(screen.pixel(W // 2, 20), (0, 0, 0))
        self.assertGreater(screen.count((0, H // 2 - 40, W, 80),
                                        lambda p: near(p, (200, 200, 200), 40)), 50)
        self.assertFalse(device_states(display)["TigerVNC pointer"])
        self.assertFalse(self.local_input_arrives(recorder, rfb, 140, 440, 1.0))
        self.assertEqual(len(guardians(display)), 1)
        # The engine dies without any clean-up: the guardian takes over.
        os.kill(msg["engine"], 9)
        self.assertTrue(kvdtest.wait_for(lambda: all(device_states(display).values()), 10),
                        device_states(display))
        self.assertTrue(self.local_input_arrives(recorder, rfb, 160, 460, 3))
        self.assertTrue(kvdtest.wait_for(lambda: not guardians(display), 5))
        self.assertTrue(near(grab(display).pixel(W // 2, 20), STRIP))  # its notice went with it
        go()
        return next_line()


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
