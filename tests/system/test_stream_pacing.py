"""A static screen streamed to the reference viewer in headless Chromium: the
engine sends about one frame a second instead of the full rate, and a patch
painted on the display still reaches the glass at once (a change the engine
missed would only show with the next once-a-second refresh).

Runs inside a private network namespace (as root), like the live session test.
"""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "browser", "stream_timing.js")


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY, kvdtest.BROWSER_SKIP_REASON)
class StreamPacingTest(unittest.TestCase):
    def test_static_screen_sends_one_frame_a_second_and_changes_at_once(self):
        with kvdtest.Xvfb(1280, 720) as x, kvdtest.TempDir() as tmp:
            log = os.path.join(tmp, "engine.log")
            proc = subprocess.run(
                ["node", DRIVER, "--system", "engine", "--sender", os.environ["KVD_BINARY"],
                 "--paint", kvdtest.tool("x_paint"), "--display", x.display, "--width", "1280",
                 "--height", "720", "--log", log, "--phases", "static,latency",
                 "--window-ms", "4000", "--changes", "6"],
                stdout=subprocess.PIPE, timeout=120, env=kvdtest.clean_env())
            with open(log, encoding="utf-8", errors="replace") as f:
                engine_log = f.read()
        lines = [line for line in proc.stdout.decode().splitlines() if line.startswith("{")]
        self.assertTrue(lines, "driver printed no result")
        result = json.loads(lines[-1])
        self.assertTrue(result.get("ok"), f"{result.get('error')}\n{engine_log[-3000:]}")
        print(f"\nstatic {result['static']}, latency {result['latency']}, first frame "
              f"{result['answerToFirstFrameMs']} ms after the answer", file=sys.stderr)
        # About one frame a second (a periodic keyframe may add one).
        self.assertGreaterEqual(result["static"]["fps"], 0.5)
        self.assertLessEqual(result["static"]["fps"], 2.5)
        lat = result["latency"]
        self.assertEqual(lat["missed"], 0)
        # A change the engine missed waits for the once-a-second refresh: half
        # a second on average. The median stays well under that even on a
        # loaded machine, where a single change may still be slow (the six
        # samples' p95 is their maximum), but never two refreshes late.
        self.assertLess(lat["median"], 250)
        self.assertLess(lat["p95"], 2000)
        self.assertNotIn("Stream stalled", engine_log)


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
