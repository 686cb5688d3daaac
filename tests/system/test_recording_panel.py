"""The viewer's recording panel in headless Chromium against the real engine:
the session's first keyframe starts an (encrypted) recording that the panel
shows with its length and size; the panel's button stops it; a second start
is refused (it would reuse the encryption key) and the panel says so in
words. The stopped recording is on disk.

Runs inside a private network namespace (as root), like the live session test.
"""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser", "live_session.js")


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY, kvdtest.BROWSER_SKIP_REASON)
class RecordingPanelTest(unittest.TestCase):
    def test_record_button_status_and_refusal_in_words(self):
        state = "#panel-recording .rec-state"
        steps = [{"click": "#btn-recording"},
                 {"waitText": {"selector": state, "contains": "Recording 0:"}},
                 {"click": "#rec-toggle"},
                 {"waitText": {"selector": state, "contains": "Not recording (last recording"}},
                 {"click": "#rec-toggle"},
                 {"waitText": {"selector": "#panel-recording .rec-error",
                               "contains": "Only one encrypted recording"}}]
        with kvdtest.Xvfb(640, 480) as x, kvdtest.TempDir() as tmp:
            rec_dir = os.path.join(tmp, "rec")
            os.mkdir(rec_dir)
            log = os.path.join(tmp, "engine.log")
            proc = subprocess.run(
                ["node", DRIVER, "--engine", os.environ.get("KVD_BINARY", kvdtest.BINARY),
                 "--display", x.display, "--log", log, "--transport", "rtp",
                 "--points", "[[0.5,0.5]]", "--control", json.dumps(steps)],
                stdout=subprocess.PIPE, timeout=120,
                env=kvdtest.clean_env(KELVANDRUM_RECORDING_DIR=rec_dir, KELVANDRUM_REC_ENCRYPTED=1))
            files = sorted(os.listdir(rec_dir))
            with open(log, encoding="utf-8", errors="replace") as f:
                engine_log = f.read()
        lines = [l for l in proc.stdout.decode().splitlines() if l.startswith("{")]
        self.assertTrue(lines, "driver printed no result")
        result = json.loads(lines[-1])
        self.assertTrue(result.get("ok"), f"{result.get('error')}\n{engine_log[-3000:]}")
        texts = [s for s in result["control"] if "text" in s]
        for s in texts:
            self.assertNotIn("timedOut", s, texts)
        self.assertRegex(texts[0]["text"], r"Recording \d+:\d\d, [\d.]+ (B|KB|MB)")
        self.assertIn("Start a new session to record again", texts[2]["text"])
        self.assertEqual(files, ["live-1.mp4.enc"])
        self.assertEqual(result["errors"], [])


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
