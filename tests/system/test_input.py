"""Remote input on a real X server: binary input messages go through the
real handler and direct injector (kvdtool_input_driver) into Xvfb, and an X
client (kvdtool_input_recorder) reports what the server delivered."""
import json
import os
import queue
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

WIDTH, HEIGHT = 1600, 900


def mul_div(a, b, c):
    """Windows MulDiv for non-negative operands: rounded half up."""
    return (a * b + c // 2) // c


def le16(v):
    v &= 0xFFFF
    return f"{v & 0xff:02x}{v >> 8:02x}"


def move(x, y):
    return "01" + le16(x) + le16(y) + "0000"


def button(down, b):
    return ("02" if down else "03") + f"{b:02x}" + "0000"


def wheel(v, h):
    return "04" + le16(v) + le16(h) + "00"


def key(down, sc, ext=0, vk=0):
    return ("05" if down else "06") + le16(sc) + f"{ext:02x}" + le16(vk)


class Lines:
    """Lines of a child's stdout, collected by a thread."""

    def __init__(self, proc):
        self.q = queue.Queue()
        threading.Thread(target=self._read, args=(proc.stdout,), daemon=True).start()

    def _read(self, f):
        for line in f:
            self.q.put(line.rstrip("\n"))

    def get(self, timeout=10):
        return self.q.get(timeout=timeout)


class InputOnXvfb(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kvdtest.TempDir()
        cls.tmpdir = cls.tmp.__enter__()
        cls.xvfb = kvdtest.Xvfb(WIDTH, HEIGHT)
        cls.xvfb.__enter__()
        cls.env = kvdtest.clean_env(DISPLAY=cls.xvfb.display,
                                    KELVANDRUM_LOG_FILE=os.path.join(cls.tmpdir, "driver.log"),
                                    KELVANDRUM_LOG_LEVEL="info")
        cls.keymap_before = cls.keymap()
        cls.recorder = subprocess.Popen([kvdtest.tool("input_recorder"), cls.xvfb.display],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        encoding="utf-8")
        cls.events = Lines(cls.recorder)
        assert json.loads(cls.events.get())["ev"] == "ready"
        cls.driver = subprocess.Popen([kvdtest.tool("input_driver")], env=cls.env,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        cls.replies = Lines(cls.driver)

    @classmethod
    def tearDownClass(cls):
        for p in (cls.driver, cls.recorder):
            p.stdin.close()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            p.stdout.close()
        cls.xvfb.__exit__(None, None, None)
        cls.tmp.__exit__(None, None, None)

    @classmethod
    def keymap(cls):
        return subprocess.run(["xmodmap", "-pke"], env=cls.env, capture_output=True, text=True,
                              check=True).stdout

    def setUp(self):
        self.do("viewonly 0")
        self.do("bounds 0 0 -1 -1")
        self.drain()

    def do(self, *cmds):
        for c in cmds:
            self.driver.stdin.write(c + "\n")
            self.driver.stdin.flush()
            self.assertEqual(self.replies.get(), "ok", c)

    def send(self, *hex_msgs):
        self.do(*("msg " + m for m in hex_msgs))

    def drain(self, quiet=0.3):
        """Every event that arrives until none has come for `quiet` seconds."""
        out = []
        while True:
            try:
                out.append(json.loads(self.events.get(timeout=quiet)))
            except queue.Empty:
                return out

    def collect(self, count, kinds=("key", "button", "motion"), timeout=10):
        """The next `count` events of the given kinds, then anything extra."""
        out = []
        deadline = time.time() + timeout
        while len(out) < count and time.time() < deadline:
            try:
                e = json.loads(self.events.get(timeout=max(0.01, deadline - time.time())))
            except queue.Empty:
                break
            if e["ev"] in kinds:
                out.append(e)
        out += [e for e in self.drain(0.2) if e["ev"] in kinds]
        return out

    def log_text(self):
        with open(os.path.join(self.tmpdir, "driver.log"), encoding="utf-8") as f:
            return f.read()

    def test_moves_land_on_the_expected_pixel_for_each_monitor(self):
        cases = [((0, 0, -1, -1), (65535, 65535)),   # no bounds: the whole screen
                 ((0, 0, WIDTH, HEIGHT), (32768, 0)),
                 ((800, 0, 800, 900), (0, 65535)),
                 ((800, 0, 800, 900), (65535, 32768)),
                 ((100, 200, 640, 480), (12345, 54321)),
                 ((100, 200, 640, 480), (1, 1))]
        for (l, t, w, h), (x, y) in cases:
            with self.subTest(bounds=(l, t, w, h), pos=(x, y)):
                self.do(f"bounds {l} {t} {w} {h}")
                self.send(move(x, y))
                if w <= 0:
                    l, t, w, h = 0, 0, WIDTH, HEIGHT
                want = (l + mul_div(x, w, 65535), t + mul_div(y, h, 65535))
                # The server clamps to the screen, as the host's cursor does.
                want = (min(want[0], WIDTH - 1), min(want[1], HEIGHT - 1))
                ev = self.collect(1, ("motion",))
                self.assertTrue(ev, "no motion event")
                self.assertEqual((ev[-1]["x"], ev[-1]["y"]), want)
        self.assertIn("[input] active monitor bounds set: (100, 200) 640x480", self.log_text())
        self.assertRegex(self.log_text(),
                         r"\[input\] move #\d+ OK target=\(1600,900\) cursor=\(1599,899\)")

    def test_each_button_arrives_as_its_x_button(self):
        self.send(move(32768, 32768))
        self.drain()
        for wire, xbutton in [(0, 1), (1, 3), (2, 2), (3, 8), (4, 9)]:
            with self.subTest(button=wire):
                self.send(button(True, wire), button(False, wire))
                ev = self.collect(2)
                self.assertEqual([(e["ev"], e["button"], e["down"]) for e in ev],
                                 [("button", xbutton, True), ("button", xbutton, False)])
                self.assertEqual((ev[0]["x"], ev[0]["y"]), (800, 450))
        self.send(button(True, 5), button(False, 5))
        self.assertEqual(self.collect(1, timeout=0.5), [])
        self.send("020000")  # too short: dropped
        self.assertEqual(self.collect(1, timeout=0.5), [])

    def test_wheel_directions_and_carried_remainders(self):
        cases = [(wheel(120, 0), [4]), (wheel(-240, 0), [5, 5]), (wheel(0, 120), [7]),
                 (wheel(0, -120), [6]), (wheel(120, -120), [4, 6])]
        for msg, buttons in cases:
            with self.subTest(msg=msg):
                self.send(msg)
                ev = self.collect(2 * len(buttons))
                self.assertEqual([e["button"] for e in ev if e["down"]], buttons)
                self.assertEqual(len(ev), 2 * len(buttons))
        # Half notches add up; a turn the other way drops the carried half.
        self.send(wheel(60, 0))
        self.assertEqual(self.collect(1, timeout=0.5), [])
        self.send(wheel(60, 0))
        self.assertEqual([e["button"] for e in self.collect(2) if e["down"]], [4])
        self.send(wheel(60, 0), wheel(-60, 0), wheel(-60, 0))
        self.assertEqual([e["button"] for e in self.collect(2) if e["down"]], [5])

    def test_scan_codes_of_base_and_extended_sets(self):
        cases = [  # scan code, extended, X keycode, keysym name
            (0x01, 0, 9, "Escape"), (0x1E, 0, 38, "a"), (0x02, 0, 10, "1"),
            (0x1C, 0, 36, "Return"), (0x39, 0, 65, "space"), (0x57, 0, 95, "F11"),
            (0x58, 0, 96, "F12"), (0x1D, 0, 37, "Control_L"), (0x47, 0, 79, "KP_Home"),
            (0x1D, 1, 105, "Control_R"), (0x38, 1, 108, "Alt_R"),
            (0x1C, 1, 104, "KP_Enter"), (0x35, 1, 106, "KP_Divide"), (0x47, 1, 110, "Home"),
            (0x48, 1, 111, "Up"), (0x4B, 1, 113, "Left"), (0x4D, 1, 114, "Right"),
            (0x50, 1, 116, "Down"), (0x53, 1, 119, "Delete"), (0x5B, 1, 133, "Super_L"),
            (0xE048, 0, 111, "Up"),
        ]
        for sc, ext, keycode, name in cases:
            with self.subTest(sc=hex(sc), ext=ext):
                self.send(key(True, sc, ext, 0x41), key(False, sc, ext, 0x41))
                ev = self.collect(2)
                self.assertEqual([(e["keycode"], e["down"]) for e in ev],
                                 [(keycode, True), (keycode, False)])
                self.assertEqual(ev[0]["name"], name)
        # A scan code without a key fails visibly and injects nothing.
        self.send(key(True, 0x7F, 1))
        self.assertEqual(self.collect(1, timeout=0.5), [])
        self.assertIn("[input] SendInput(key_down) FAILED error=", self.log_text())

    def test_virtual_key_path(self):
        cases = [(0x41, "a"), (0x5A, "z"), (0x30, "0"), (0x0D, "Return"), (0x70, "F1"),
                 (0x25, "Left"), (0x11, "Control_L"), (0xA5, "Alt_R"), (0xBE, "period"),
                 (0x60, "KP_0")]
        for vk, name in cases:
            with self.subTest(vk=hex(vk)):
                self.send(key(True, 0, 1, vk), key(False, 0, 1, vk))
                ev = self.collect(2)
                self.assertEqual([(e["name"], e["down"]) for e in ev],
                                 [(name, True), (name, False)])
                self.assertEqual(ev[0]["keycode"], ev[1]["keycode"])

    def test_unicode_text_with_non_latin_characters_and_emoji(self):
        text = "Hi, wörld\tПривет 日本 😀\r\nok"
        self.do("type 0 " + text.encode("utf-8").hex())
        downs = [e for e in self.collect(2 * 26) if e["ev"] == "key" and e["down"]]
        typed = "".join("\t" if e["name"] == "Tab" else "\n" if e["name"] == "Return"
                        else e["text"] for e in downs)
        self.assertEqual(typed, text.replace("\r", ""))
        # Invalid UTF-8 arrives as U+FFFD, and the text around it survives.
        self.do("type 0 " + (b"a\xffb\xed\xa0\x80c").hex())
        downs = [e["text"] for e in self.collect(2 * 7) if e["down"]]
        self.assertEqual("".join(downs), "a\ufffdb\ufffd\ufffd\ufffdc")
        # Every borrowed keycode got its empty mapping back.
        self.assertEqual(self.keymap(), self.keymap_before)

    def test_long_text_with_many_distinct_characters(self):
        text = "".join(chr(c) for c in range(0x410, 0x450)) + "abcdefghijklmnopqrstuvwxyz"
        self.do("type 5 " + text.encode("utf-8").hex())
        downs = [e["text"] for e in self.collect(2 * len(text)) if e["down"]]
        self.assertEqual("".join(downs), text)

    def test_view_only_injects_nothing(self):
        self.do("viewonly 1")
        self.send(move(100, 100), button(True, 0), button(False, 0), key(True, 0x1E),
                  key(False, 0x1E), wheel(120, 0))
        self.assertEqual(self.collect(1, timeout=0.5), [])
        self.do("viewonly 0")
        self.send(key(True, 0x1E), key(False, 0x1E))
        self.assertEqual(len(self.collect(2)), 2)

    def test_held_keys_are_released_by_sync_and_release_all(self):
        self.send(key(True, 0x1D, 1, 0x11), key(True, 0x2A, 0, 0x10))
        self.assertEqual(len(self.collect(2)), 2)
        sync = "07" + "01" + f"{len('ControlRight'):02x}" + b"ControlRight".hex()
        self.send(sync)
        ev = self.collect(1)
        self.assertEqual([(e["keycode"], e["down"]) for e in ev], [(50, False)])
        self.do("release")
        ev = self.collect(1)
        self.assertEqual([(e["keycode"], e["down"]) for e in ev], [(105, False)])
        self.assertIn("stuck-key release id=sc:0x1d:ext reason=KeyStateSync_reconcile sc=0x1d",
                      self.log_text())

    def test_local_sas_stand_in_is_recorded(self):
        self.send("10")
        out = subprocess.run(["xprop", "-root", "_KVD_SAS_REQUESTS"], env=self.env,
                             capture_output=True, text=True).stdout
        self.assertIn("SendSAS(FALSE)\\nSendSAS(TRUE)\\n", out)
        log = self.log_text()
        self.assertIn("Received SEND_SAS message", log)
        self.assertIn("[SAS] SendSAS(TRUE) called", log)


class LostDisplay(unittest.TestCase):
    def test_driver_survives_the_x_server_going_away(self):
        with kvdtest.TempDir() as tmp, kvdtest.Xvfb(640, 480) as xvfb:
            env = kvdtest.clean_env(DISPLAY=xvfb.display,
                                    KELVANDRUM_LOG_FILE=os.path.join(tmp, "driver.log"),
                                    KELVANDRUM_LOG_LEVEL="info")
            driver = subprocess.Popen([kvdtest.tool("input_driver")], env=env,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            replies = Lines(driver)
            cmds = ["msg " + move(100, 100), "msg " + key(True, 0x1E), "type 0 6869",
                    "msg " + wheel(120, 0), "msg " + button(True, 0), "msg 10", "release"]
            try:
                for c in cmds[:2]:
                    driver.stdin.write(c + "\n")
                    driver.stdin.flush()
                    self.assertEqual(replies.get(), "ok")
                xvfb.__exit__(None, None, None)
                for c in cmds:
                    driver.stdin.write(c + "\n")
                    driver.stdin.flush()
                    self.assertEqual(replies.get(), "ok", c)
            finally:
                driver.stdin.close()
                self.assertEqual(driver.wait(10), 0)
                driver.stdout.close()


if __name__ == "__main__":
    unittest.main()
