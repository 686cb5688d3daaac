"""The reference viewer in headless Chromium against the real WebRTC stack
(kvdtool_webrtc_peer behind the development signaling server): RTP video
decoded with the right colours, five channels open with messages both ways,
then a second viewer on the data-channel/WebCodecs path after the engine
noticed the first one leave and rebuilt.

Runs inside a private network namespace (as root): Chromium gathers no ICE
candidates on a loopback-only host.
"""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "browser", "webrtc_viewer_session.js")

# Bar centres of ffmpeg's smptebars, upper band (seven bars).
POINTS = [[(i + 0.5) / 7, 0.3] for i in range(7)]




@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY, kvdtest.BROWSER_SKIP_REASON)
class WebrtcBrowserTest(unittest.TestCase):
    def test_viewer_over_rtp_then_webcodecs(self):
        with kvdtest.TempDir() as tmp:
            h264 = os.path.join(tmp, "bars.h264")
            subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                            "smptebars=size=640x360:rate=30", "-t", "5", "-c:v", "libx264",
                            "-profile:v", "baseline", "-level", "3.1", "-pix_fmt", "yuv420p",
                            "-g", "30", "-bsf:v", "h264_mp4toannexb", "-f", "h264", h264], check=True)
            # Reference colours from ffmpeg's own decode of the same stream.
            raw = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", h264, "-frames:v", "1",
                                  "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                                 check=True, stdout=subprocess.PIPE).stdout
            rgb = []
            for x, y in POINTS:
                off = (int(y * 360) * 640 + int(x * 640)) * 3
                rgb.append(list(raw[off:off + 3]))
            log = os.path.join(tmp, "tool.log")
            proc = subprocess.run(
                ["node", DRIVER, "--tool", kvdtest.tool("webrtc_peer"), "--h264", h264, "--log", log,
                 "--reference", json.dumps({"points": POINTS, "rgb": rgb})],
                stdout=subprocess.PIPE, timeout=100, env=kvdtest.clean_env())
            lines = [line for line in proc.stdout.decode().splitlines() if line.startswith("{")]
            self.assertTrue(lines, "driver printed no result")
            result = json.loads(lines[-1])
            with open(log, encoding="utf-8", errors="replace") as f:
                tool_log = f.read()
        self.assertTrue(result.get("ok"), result.get("error"))
        rtp, dc = result["phases"]
        for phase in (rtp, dc):
            with self.subTest(transport=phase["transport"]):
                self.assertGreaterEqual(phase["framesDecoded"], 10)
                self.assertEqual(phase["size"], [640, 360])
                # Chromium decodes without colour information: allow ~40 per channel.
                self.assertLessEqual(phase["maxColourDistance"], 48)
                self.assertEqual(sorted(phase["echoes"]), ["chat", "control", "file", "input"])
                self.assertEqual(sorted(phase["engineGot"]), ["chat", "control", "file", "input"])
                self.assertTrue(phase["quality"])
                self.assertEqual(phase["errors"], [])
        self.assertGreater(dc["videoChunks"], 0)
        self.assertEqual(result["viewerConfig"][-1], "webcodecs")
        self.assertEqual(result["stdoutGarbage"], 0)
        self.assertIn("Video DataChannel OPENED — maxMessageSize=262144", tool_log)
        print(f"\nchannels open after page load: rtp {rtp['channelsOpenMs']} ms, "
              f"webcodecs {dc['channelsOpenMs']} ms; departure noticed after "
              f"{result.get('departureNoticedMs')} ms", file=sys.stderr)


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
