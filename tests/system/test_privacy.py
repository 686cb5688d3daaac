"""Privacy on real X servers.

Local input block on Xvnc, whose VNC pointer and keyboard are real XInput2
slave devices: a small RFB client plays the person at the host; its input
must not reach the X server while blocked and must after release, while
XTest input (the technician's, through xdotool here) always does. The
guardian gives the devices (and sleeping screens) back after a SIGKILL.
DPMS sleep on Xorg with the dummy video driver where that driver offers DPMS.
"""
import json
import os
import queue
import re
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from rfb_client import RfbClient  # noqa: E402


def start_with_displayfd(cmd):
    """Starts an X server (argv without the display); returns it and its display."""
    server = kvdtest.XServer(cmd)
    return server, server.start()


def stop(server):
    if server:
        server.stop()


def device_states(display):
    """{device name: enabled} for the slave devices of the display."""
    out = subprocess.run(["xinput", "list", "--name-only"], capture_output=True, text=True,
                         env=kvdtest.clean_env(DISPLAY=display), timeout=10).stdout
    states = {}
    for name in out.splitlines():
        if not name.strip() or name.startswith("Virtual core") and "XTEST" not in name:
            continue
        props = subprocess.run(["xinput", "list-props", name], capture_output=True, text=True,
                               env=kvdtest.clean_env(DISPLAY=display), timeout=10).stdout
        m = re.search(r"Device Enabled \(\d+\):\s*(\d)", props)
        if m:
            states[name] = m.group(1) == "1"
    return states


def device_states_id(display, name):
    out = subprocess.run(["xinput", "list", "--id-only", name], capture_output=True, text=True,
                         env=kvdtest.clean_env(DISPLAY=display), timeout=10, check=True).stdout
    return int(out.strip())


def guardians(display):
    out = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if line.strip().endswith(f"--kvd-guardian {display}")]


class Recorder:
    """kvdtool_input_recorder: what the X server delivers to a client."""

    def __init__(self, display):
        self.proc = subprocess.Popen([kvdtest.tool("input_recorder"), display],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.events.get(timeout=20).get("ev") == "ready"

    def _read(self):
        for line in self.proc.stdout:
            try:
                self.events.put(json.loads(line))
            except ValueError:
                pass

    def presses(self, wait, until=None):
        """Button presses and key presses seen within `wait` seconds, or up
        to the one that makes until(presses) true."""
        out, deadline = [], time.time() + wait
        while time.time() < deadline and not (until and until(out)):
            try:
                e = self.events.get(timeout=max(0.01, deadline - time.time()))
            except queue.Empty:
                break
            if e.get("down") and e.get("ev") in ("button", "key"):
                out.append(e)
        return out

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


class Probe:
    """kvdtool_privacy_probe: the platform's blocker and display power."""

    def __init__(self, display):
        self.proc = subprocess.Popen([kvdtest.tool("privacy_probe"), display],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=kvdtest.clean_env(DISPLAY=display))
        assert self.proc.stdout.readline().strip() == "ready"

    def ask(self, cmd):
        self.proc.stdin.write(cmd + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def kill(self):
        self.proc.kill()
        self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout):
            if not f.closed:
                f.close()


class InputBlockOnXvnc(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = kvdtest.free_port()
        cls.server, cls.display = start_with_displayfd(
            ["Xvnc", "-geometry", "800x600", "-SecurityTypes", "None", "-localhost",
             "-rfbport", str(cls.port), "-nolisten", "tcp"])
        cls.recorder = Recorder(cls.display)
        cls.rfb = RfbClient(cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.rfb.close()
        cls.recorder.close()
        stop(cls.server)

    @staticmethod
    def typed(text):
        """Stops collecting at the key press of `text`."""
        return lambda events: any(e.get("text") == text for e in events if e["ev"] == "key")

    def local_click(self, x, y, wait):
        self.recorder.presses(0.2)  # what came before
        self.rfb.click(x, y)
        self.rfb.key(0x61)  # "a"
        return self.recorder.presses(wait, self.typed("a"))

    def xtest_click(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1", "type", "b"],
                       env=kvdtest.clean_env(DISPLAY=self.display), check=True, timeout=10)
        return self.recorder.presses(5, self.typed("b"))

    def assert_reaches(self, events, x, y, text):
        buttons = [(e["x"], e["y"]) for e in events if e["ev"] == "button"]
        self.assertIn((x, y), buttons, events)
        self.assertIn(text, [e.get("text") for e in events if e["ev"] == "key"], events)

    def test_block_release_and_guardian(self):
        self.assert_reaches(self.local_click(100, 100, 3), 100, 100, "a")
        probe = Probe(self.display)
        try:
            self.assertEqual(probe.ask("block"), "ok")
            states = device_states(self.display)
            self.assertEqual(states.get("TigerVNC pointer"), False, states)
            self.assertEqual(states.get("TigerVNC keyboard"), False, states)
            self.assertEqual(states.get("Virtual core XTEST pointer"), True, states)
            self.assertEqual(self.local_click(200, 200, 1.0), [])
            self.assert_reaches(self.xtest_click(300, 300), 300, 300, "b")
            self.assertEqual(len(guardians(self.display)), 1)

            self.assertEqual(probe.ask("unblock"), "ok")
            self.assert_reaches(self.local_click(400, 400, 3), 400, 400, "a")
            # Nothing to undo: the guardian is gone.
            self.assertTrue(kvdtest.wait_for(lambda: not guardians(self.display), 5))

            # An abrupt end while blocked: the guardian gives the devices back.
            self.assertEqual(probe.ask("block"), "ok")
            self.assertEqual(self.local_click(250, 250, 0.5), [])
            probe.kill()
            self.assertTrue(kvdtest.wait_for(
                lambda: all(device_states(self.display).values()), 10), device_states(self.display))
            self.assert_reaches(self.local_click(450, 450, 3), 450, 450, "a")
            self.assertTrue(kvdtest.wait_for(lambda: not guardians(self.display), 5))
        finally:
            probe.kill()


    def test_notice_follows_a_screen_size_change(self):
        from capture_helpers import xrandr
        from overlay_helpers import grab
        # A blue root, so that uncovered parts of the grown screen show.
        subprocess.run(["xsetroot", "-display", self.display, "-solid", "#3060c0"], check=True)
        probe = Probe(self.display)
        try:
            self.assertEqual(probe.ask('privacy {"type":"privacy_mode","enabled":true}'),
                             "ok screen=notice")
            self.assertEqual(xrandr(self.display, "-s", "1024x768").returncode, 0)

            def covered():
                s = grab(self.display)
                return (s.width, s.height) == (1024, 768) and s.pixel(1000, 740) == (0, 0, 0)
            self.assertTrue(kvdtest.wait_for(covered, 10))
            self.assertEqual(probe.ask('privacy {"type":"privacy_mode","enabled":false}'),
                             "ok screen=none")
            self.assertEqual(grab(self.display).pixel(1000, 740), (0x30, 0x60, 0xC0))
        finally:
            probe.kill()
            xrandr(self.display, "-s", "800x600")


    def test_guardian_undoes_only_a_complete_unreleased_state(self):
        def run_guardian(lines):
            subprocess.run(["xinput", "disable", "TigerVNC pointer"], check=True,
                           env=kvdtest.clean_env(DISPLAY=self.display))
            g = subprocess.Popen([kvdtest.BINARY, "--kvd-guardian", self.display],
                                 stdin=subprocess.PIPE, env=kvdtest.clean_env())
            g.communicate(lines.encode(), timeout=20)  # end of input: the engine is gone
            return device_states(self.display)["TigerVNC pointer"]

        pointer = device_states_id(self.display, "TigerVNC pointer")
        junk = ("x" * 10000 + "\ndisable 99999999\ndisable -1\nsleep 2\n\n"
                "released" + " " * 100 + "\n")
        try:
            # A state counts once "armed" closes it; junk around it changes nothing.
            self.assertTrue(run_guardian(f"{junk}reset\ndisable {pointer}\n{junk}armed\n{junk}"))
            # Released by the engine, or never armed: nothing is touched.
            self.assertFalse(run_guardian(f"reset\ndisable {pointer}\narmed\nreleased\n"))
            self.assertFalse(run_guardian(f"reset\ndisable {pointer}\n"))
            # A later complete state replaces the earlier one.
            self.assertFalse(run_guardian(f"reset\ndisable {pointer}\narmed\nreset\narmed\n"))
        finally:
            subprocess.run(["xinput", "enable", str(pointer)],
                           env=kvdtest.clean_env(DISPLAY=self.display))


XORG_CONF = """
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 32768
EndSection
Section "Monitor"
  Identifier "mon"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Option "DPMS" "true"
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "mon"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 800 600
  EndSubSection
EndSection
"""


def xset_q(display):
    return subprocess.run(["xset", "-display", display, "q"], capture_output=True, text=True,
                          timeout=10, env=kvdtest.clean_env()).stdout


@unittest.skipUnless(os.path.exists("/usr/lib/xorg/modules/drivers/dummy_drv.so")
                     and os.geteuid() == 0, "needs root and Xorg with the dummy video driver")
class DpmsOnXorgDummy(unittest.TestCase):
    def test_sleep_keeps_the_picture_and_the_guardian_wakes_the_screen(self):
        with tempfile.TemporaryDirectory(prefix="kvdtest-xorg-") as tmp:
            conf = os.path.join(tmp, "xorg.conf")
            with open(conf, "w") as f:
                f.write(XORG_CONF)
            server, display = start_with_displayfd(
                ["Xorg", "-config", conf, "-configdir", tmp, "-noreset", "-nolisten", "tcp",
                 "-logfile", os.path.join(tmp, "xorg.log"), "-novtswitch", "-sharevts"])
            try:
                if "does not have the DPMS Extension" in xset_q(display):
                    self.skipTest("this Xorg's dummy driver offers no DPMS [optional]")
                self.run_dpms(display)
            finally:
                stop(server)

    def run_dpms(self, display):
        paint = subprocess.Popen([kvdtest.tool("x_paint"), "--display", display,
                                  "--rect", "0,0,800,600,20c040"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        probe = Probe(display)
        try:
            self.assertEqual(paint.stdout.readline().strip(), "ready")
            self.assertEqual(probe.ask('privacy {"type":"privacy_mode","enabled":true}'),
                             "ok screen=asleep")
            self.assertIn("Monitor is Off", xset_q(display))
            # The capture still reads the real desktop.
            self.assertEqual(probe.ask("grab 400 300"), "px 32 192 64")
            # Something wakes the screen: privacy mode puts it back to sleep.
            subprocess.run(["xset", "-display", display, "dpms", "force", "on"], check=True)
            self.assertTrue(kvdtest.wait_for(lambda: "Monitor is Off" in xset_q(display), 5))
            probe.kill()
            self.assertTrue(kvdtest.wait_for(lambda: "Monitor is On" in xset_q(display), 10))
        finally:
            probe.kill()
            paint.kill()
            paint.communicate()


class NoticeOnXvfb(unittest.TestCase):
    """Xvfb has no DPMS: privacy mode shows the notice, which the capture
    (and so the technician) sees too."""

    def test_notice_covers_the_screen_and_goes_away(self):
        from overlay_helpers import grab, near
        with kvdtest.Xvfb(640, 480) as x:
            paint = subprocess.Popen([kvdtest.tool("x_paint"), "--display", x.display,
                                      "--rect", "0,0,640,480,3060c0"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            probe = Probe(x.display)
            try:
                self.assertEqual(paint.stdout.readline().strip(), "ready")
                self.assertEqual(probe.ask("sleep"), "fail 95")  # ENOTSUP
                self.assertEqual(guardians(x.display), [])
                self.assertEqual(probe.ask(
                    'privacy {"type":"privacy_mode","enabled":true,"overlayText":"Privacy please"}'),
                    "ok screen=notice")
                screen = grab(x.display)
                for corner in ((2, 2), (637, 2), (2, 477), (637, 477), (320, 60)):
                    self.assertEqual(screen.pixel(*corner), (0, 0, 0), corner)
                # Grey text in the middle band, nothing of the blue left anywhere.
                grey = screen.count((0, 200, 640, 80), lambda p: near(p, (200, 200, 200), 40))
                self.assertGreater(grey, 100)
                self.assertEqual(screen.count((0, 0, 640, 480), lambda p: near(p, (48, 96, 192)), 4), 0)
                self.assertEqual(probe.ask("grab 320 60"), "px 0 0 0")
                self.assertEqual(probe.ask('privacy {"type":"privacy_mode","enabled":false}'),
                                 "ok screen=none")
                self.assertEqual(grab(x.display).pixel(320, 240), (48, 96, 192))
            finally:
                probe.kill()
                paint.kill()
                paint.communicate()


if __name__ == "__main__":
    unittest.main()
