"""A whole session: the engine captures a real X display, the development
signaling server pairs it with the reference viewer in headless Chromium, the
viewer shows the host's pixels in the right colours and places, gets pointer
messages, and its click and typing reach an X client on the host. SIGTERM
then ends the engine with exit code 0.

Runs inside a private network namespace (as root): Chromium gathers no ICE
candidates on a loopback-only host.
"""
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

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "browser", "live_session.js")

WIDTH, HEIGHT = 1280, 720
# Solid blocks in the upper half; the recorder's window fills the rest.
RECTS = [(0, 0, 320, 240, (0xE0, 0x20, 0x20)), (480, 0, 320, 240, (0x20, 0xC0, 0x30)),
         (960, 0, 320, 240, (0x30, 0x40, 0xE0))]
CLICK = (0.5, 0.75)




class Recorder:
    """kvdtool_input_recorder: one JSON line per X event it receives."""

    def __init__(self, display):
        self.proc = subprocess.Popen([kvdtest.tool("input_recorder"), display],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        first = self.events.get(timeout=20)
        assert first.get("ev") == "ready", first

    def _read(self):
        for line in self.proc.stdout:
            try:
                self.events.put(json.loads(line))
            except ValueError:
                pass

    def drain(self):
        out = []
        while True:
            try:
                out.append(self.events.get_nowait())
            except queue.Empty:
                return out

    def close(self):
        self.proc.kill()
        self.proc.wait()


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY, kvdtest.BROWSER_SKIP_REASON)
class LiveSessionTest(unittest.TestCase):
    def run_session(self, transport):
        with kvdtest.Xvfb(WIDTH, HEIGHT) as x, kvdtest.TempDir() as tmp:
            rec = Recorder(x.display)
            paint = subprocess.Popen(
                [kvdtest.tool("x_paint"), "--display", x.display,
                 *[a for (rx, ry, rw, rh, (r, g, b)) in RECTS
                   for a in ("--rect", f"{rx},{ry},{rw},{rh},{r:02x}{g:02x}{b:02x}")]],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            try:
                self.assertEqual(paint.stdout.readline().strip(), "ready")
                points = [[(rx + rw / 2) / WIDTH, (ry + rh / 2) / HEIGHT]
                          for (rx, ry, rw, rh, _) in RECTS]
                log = os.path.join(tmp, "engine.log")
                proc = subprocess.run(
                    ["node", DRIVER, "--engine", os.environ["KVD_BINARY"], "--display", x.display,
                     "--log", log, "--transport", transport, "--points", json.dumps(points),
                     "--click", json.dumps(CLICK), "--type", "hi"],
                    stdout=subprocess.PIPE, timeout=120, env=kvdtest.clean_env())
                time.sleep(0.5)
                events = rec.drain()
                with open(log, encoding="utf-8", errors="replace") as f:
                    engine_log = f.read()
            finally:
                paint.kill()
                paint.wait()
                rec.close()
        lines = [line for line in proc.stdout.decode().splitlines() if line.startswith("{")]
        self.assertTrue(lines, "driver printed no result")
        result = json.loads(lines[-1])
        self.assertTrue(result.get("ok"), f"{result.get('error')}\n{engine_log[-4000:]}")
        return result, events, engine_log

    def check_session(self, result, events, engine_log):
        sample = result["sample"]
        self.assertEqual([sample["width"], sample["height"]], [WIDTH, HEIGHT])
        for got, (_, _, _, _, want) in zip(sample["pixels"], RECTS):
            # Chromium decodes without colour information: allow ~40 per channel.
            self.assertLessEqual(max(abs(a - b) for a, b in zip(got, want)), 48, (got, want))
        self.assertGreater(result["framesDecoded"], 10)
        print(f"\n10 frames decoded {result['firstFramesMs']} ms after the page load", file=sys.stderr)
        self.assertEqual(result["errors"], [])
        self.assertEqual(result["engineExit"], {"code": 0, "signal": None})

        presses = [e for e in events if e.get("ev") == "button" and e.get("down")]
        self.assertTrue(presses, events)
        self.assertEqual(presses[0]["button"], 1)
        self.assertLessEqual(abs(presses[0]["x"] - CLICK[0] * WIDTH), 3)
        self.assertLessEqual(abs(presses[0]["y"] - CLICK[1] * HEIGHT), 3, events[-12:])
        typed = "".join(e.get("text", "") for e in events if e.get("ev") == "key" and e.get("down"))
        self.assertEqual(typed, "hi", result.get("focused"))
        # The pointer moved by the click is reported to the overlaying viewer.
        self.assertGreater(result["cursor"]["positions"], 0)

        for line in ("Screen capture: 1280x720", "WebRTC P2P connected!",
                     "VideoTrack created (DC will activate when open)", "First video frame sent!",
                     "[input] bounds synced to capture: (0, 0) 1280x720", "Shutting down...",
                     "kelvandrum-remote stopped"):
            self.assertIn(line, engine_log)

    def test_viewer_changes_the_host_resolution(self):
        # Xvnc switches modes for real: the viewer asks for 1024x768 and the
        # picture follows; the session end puts the old mode back.
        from capture_helpers import Xvnc, xrandr
        with Xvnc(1280, 720) as x, kvdtest.TempDir() as tmp:
            log = os.path.join(tmp, "engine.log")
            steps = [{"send": {"type": "monitor_list"}, "expectType": "monitor_list"},
                     {"send": {"type": "resolution_query"}, "expectType": "resolution_list"},
                     {"send": {"type": "resolution_change", "width": 1024, "height": 768,
                               "changeRemote": True},
                      "expectType": "resolution_applied", "size": [1024, 768]}]
            proc = subprocess.run(
                ["node", DRIVER, "--engine", os.environ["KVD_BINARY"], "--display", x.display,
                 "--log", log, "--transport", "rtp", "--points", "[[0.5,0.5]]",
                 "--control", json.dumps(steps)],
                stdout=subprocess.PIPE, timeout=120, env=kvdtest.clean_env())
            with open(log, encoding="utf-8", errors="replace") as f:
                engine_log = f.read()
            after = xrandr(x.display).stdout
        result = json.loads([l for l in proc.stdout.decode().splitlines() if l.startswith("{")][-1])
        self.assertTrue(result.get("ok"), f"{result.get('error')}\n{engine_log[-3000:]}")
        monitors, modes, change = result["control"]
        self.assertEqual(monitors["reply"]["monitors"][0]["width"], 1280)
        self.assertIn({"width": 1024, "height": 768},
                      [{"width": m["width"], "height": m["height"]} for m in modes["reply"]["resolutions"]])
        self.assertEqual(change["reply"], {"height": 768, "type": "resolution_applied", "width": 1024})
        self.assertIsNotNone(change.get("sizeMs"), engine_log[-3000:])
        for line in ("[resolution] host display change applied: 1024x768",
                     "[resolution] forcing capture re-init after host display change",
                     "[resolution] capture size changed 1280x720 -> 1024x768"):
            self.assertIn(line, engine_log)
        self.assertIn("current 1280 x 720", after)

    def test_rtp_viewer_sees_the_screen_and_operates_it(self):
        self.check_session(*self.run_session("rtp"))

    def test_data_channel_viewer_sees_the_screen_and_operates_it(self):
        result, events, engine_log = self.run_session("webcodecs")
        self.check_session(result, events, engine_log)
        self.assertIn("skip RTP double-send = true", engine_log)


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
