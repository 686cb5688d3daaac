"""The encoders' output checked by FFmpeg's own tools: ffprobe reads the
stream parameters and frame types, ffmpeg decodes the pictures.

The software encoder (OpenH264) and the hardware encoder's FFmpeg path (over
libx264, since no GPU encoder opens here) write raw H.264 files through
kvdtool_encode_file.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

QUADRANTS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]  # RGB


def encode(tmp, encoder, size, frames, *extra):
    out = os.path.join(tmp, f"{encoder}-{size}.h264")
    proc = subprocess.run(
        [kvdtest.tool("encode_file"), "--encoder", encoder, "--size", size,
         "--frames", str(frames), "--out", out, *extra],
        capture_output=True, text=True, timeout=60, env=kvdtest.clean_env())
    if proc.returncode != 0:
        raise AssertionError(f"encode_file failed: {proc.stderr}")
    records = [json.loads(line) for line in proc.stdout.splitlines()]
    return out, records


def probe_stream(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-show_entries",
         "stream=codec_name,profile,width,height,nb_read_frames", "-of", "json", path],
        capture_output=True, text=True, timeout=60, check=True).stdout
    return json.loads(out)["streams"][0]


def probe_frames(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "frame=key_frame,pict_type,width,height",
         "-of", "json", path], capture_output=True, text=True, timeout=60, check=True).stdout
    return json.loads(out)["frames"]


def decode_last(path, width, height):
    """The last picture as RGB bytes. Frames keep their own sizes (-autoscale 0)
    and ffmpeg must report no error."""
    proc = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", path, "-autoscale", "0", "-f", "rawvideo",
         "-pix_fmt", "rgb24", "-"], capture_output=True, timeout=60)
    assert proc.returncode == 0 and not proc.stderr, proc.stderr.decode(errors="replace")
    size = width * height * 3
    assert len(proc.stdout) >= size, len(proc.stdout)
    return proc.stdout[-size:]


def pixel(rgb, width, x, y):
    o = (y * width + x) * 3
    return tuple(rgb[o:o + 3])


class EncodeOutput(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kvdtest-encode-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def check_quadrants(self, rgb, w, h):
        points = [(w // 4, h * 5 // 16), (w * 3 // 4, h * 5 // 16),
                  (w // 4, h * 3 // 4), (w * 3 // 4, h * 3 // 4)]
        for (x, y), want in zip(points, QUADRANTS):
            got = pixel(rgb, w, x, y)
            self.assertLessEqual(max(abs(a - b) for a, b in zip(got, want)), 40,
                                 f"at {x},{y}: {got} vs {want}")

    def test_odd_size_stream_with_requested_keyframe(self):
        for encoder in ("sw", "x264"):
            with self.subTest(encoder=encoder):
                path, records = encode(self.tmp, encoder, "641x361", 30, "--keyframe-at", "15")
                stream = probe_stream(path)
                self.assertEqual(stream["codec_name"], "h264")
                self.assertEqual(stream["profile"], "Constrained Baseline")
                self.assertEqual((stream["width"], stream["height"]), (640, 360))
                self.assertEqual(int(stream["nb_read_frames"]), 30)
                self.assertTrue(all(r["bytes"] > 0 for r in records))
                frames = probe_frames(path)
                keys = [i for i, f in enumerate(frames) if f["key_frame"] == 1]
                self.assertEqual(keys, [0, 15])
                self.assertEqual([i for i, r in enumerate(records) if r["key"]], [0, 15])
                self.check_quadrants(decode_last(path, 640, 360), 640, 360)

    def test_resize_mid_stream_restarts_with_keyframe(self):
        for encoder in ("sw", "x264"):
            with self.subTest(encoder=encoder):
                path, records = encode(self.tmp, encoder, "1280x720", 20, "--resize-at", "10:853x480")
                frames = probe_frames(path)
                self.assertEqual(len(frames), 20)
                sizes = [(f["width"], f["height"]) for f in frames]
                self.assertEqual(sizes, [(1280, 720)] * 10 + [(852, 480)] * 10)
                self.assertEqual(frames[10]["key_frame"], 1)
                self.assertTrue(records[10]["key"])
                self.check_quadrants(decode_last(path, 852, 480), 852, 480)

    def test_one_pixel_source(self):
        # OpenH264 takes nothing below 16 pixels; the FFmpeg path goes down to 2.
        # The tool's single pixel lies in the white quadrant.
        for encoder, side in (("sw", 16), ("x264", 2)):
            with self.subTest(encoder=encoder):
                path, records = encode(self.tmp, encoder, "1x1", 5)
                self.assertTrue(all(r["bytes"] > 0 for r in records))
                stream = probe_stream(path)
                self.assertEqual((stream["width"], stream["height"]), (side, side))
                self.assertEqual(int(stream["nb_read_frames"]), 5)
                rgb = decode_last(path, side, side)
                got = pixel(rgb, side, 0, 0)
                self.assertLessEqual(max(abs(a - b) for a, b in zip(got, QUADRANTS[3])), 40, got)

    def test_no_read_past_the_picture(self):
        # Capture buffers can end right before an unmapped page.
        proc = subprocess.run([kvdtest.tool("encode_guard")], capture_output=True, text=True,
                              timeout=120, env=kvdtest.clean_env())
        self.assertEqual(proc.returncode, 0, proc.stdout[-500:] + proc.stderr[-500:])
        self.assertEqual(proc.stdout.count("ok "), 10)


if __name__ == "__main__":
    unittest.main()
