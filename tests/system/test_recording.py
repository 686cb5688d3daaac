"""Recording files checked by independent tools: the recorder fed with real
H.264 from the software encoder (kvdtool_recording_drive) produces MP4 that
ffprobe accepts (size, start time 0, duration); the encrypted form is
decrypted with python3-cryptography (HKDF from token and session id, AES-GCM
per chunk) and decoded, and a swapped or altered chunk fails authentication;
uploads go to a local HTTPS server with its own CA that drops a connection
mid-body, answers 5xx, answers 409 after a lost acknowledgement, or never
answers; a full tmpfs in a private mount namespace stops the recording with
the recorded part kept; the size ceiling keeps the file within the limit."""
import json
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from upload_server import UploadServer, make_ca  # noqa: E402

try:
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF
    from cryptography.exceptions import InvalidTag
    HAVE_CRYPTO = True
except ImportError:
    HAVE_CRYPTO = False

DRIVE = kvdtest.tool("recording_drive")
INFO = b"kelvandrum/recording/aes-256-gcm"
CHUNK = 131072


def drive(*args, env=None, timeout=120):
    proc = subprocess.run([DRIVE, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=timeout, env=env or kvdtest.clean_env())
    viewer = [json.loads(l)["viewer"] for l in proc.stdout.splitlines() if l.startswith('{"viewer"')]
    done = [json.loads(l) for l in proc.stdout.splitlines() if l.startswith('{"done"')]
    return proc, viewer, (done[-1] if done else None)


def ffprobe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "format=start_time,duration,format_name:stream=width,height,codec_name",
                          "-of", "json", path], stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout) if out.returncode == 0 else None


def decoded_frames(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                         stderr=subprocess.PIPE, text=True)
    if out.returncode != 0:
        return -1, out.stderr
    cnt = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path],
                         stdout=subprocess.PIPE, text=True)
    return int(cnt.stdout.strip() or -1), out.stderr


def derive_key(token, session):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=session.encode() or None,
                info=INFO).derive(token.encode())


def decrypt(data, key):
    aes, out, i = AESGCM(key), bytearray(), 0
    for pos in range(0, len(data), 16400):
        nonce = bytes([0xd7, 0x91, 0x3e, 0x5c]) + i.to_bytes(8, "little")
        out += aes.decrypt(nonce, data[pos:pos + 16400], None)
        i += 1
    return bytes(out)


class RecordingFilesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = kvdtest.TempDir().__enter__()

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_mp4_and_raw_outputs_are_valid_and_named_apart(self):
        proc, viewer, done = drive("--dir", self.tmp, "--session", "s1", "--frames", 90,
                                   "--fps", 30, "--recordings", 2)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for name in ("s1.mp4", "s1-2.mp4"):
            info = ffprobe(os.path.join(self.tmp, name))
            self.assertIsNotNone(info, name)
            self.assertEqual((info["streams"][0]["width"], info["streams"][0]["height"]), (320, 240))
            self.assertEqual(float(info["format"]["start_time"]), 0.0)
            self.assertAlmostEqual(float(info["format"]["duration"]), 3.0, delta=0.05)
            self.assertEqual(decoded_frames(os.path.join(self.tmp, name))[0], 90)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["s1-2.mp4", "s1.mp4"])
        statuses = [m for m in viewer if m["type"] == "recording_status"]
        self.assertTrue(statuses[0]["active"])
        stop = [m for m in statuses if not m["active"]]
        self.assertEqual(len(stop), 1)
        self.assertEqual(stop[0]["path"], os.path.join(self.tmp, "s1.mp4"))
        self.assertAlmostEqual(stop[0]["durationMs"], 3000, delta=40)
        # Periodic reports (every 5 s of recording time): one per 3 s recording.
        self.assertEqual(len([m for m in statuses if "path" not in m]), 2)

        proc, _, _ = drive("--dir", self.tmp, "--session", "raw", "--format", "h264", "--frames", 30)
        self.assertEqual(decoded_frames(os.path.join(self.tmp, "raw.h264"))[0], 30)

    @unittest.skipUnless(HAVE_CRYPTO, "needs python3-cryptography")
    def test_encrypted_recording_decrypts_independently_and_chunks_are_bound(self):
        proc, viewer, done = drive("--dir", self.tmp, "--session", "enc-7", "--token", "tok-xyz",
                                   "--format", "mp4-enc", "--frames", 120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(os.listdir(self.tmp), ["enc-7.mp4.enc"])
        with open(os.path.join(self.tmp, "enc-7.mp4.enc"), "rb") as f:
            data = f.read()
        self.assertGreater(len(data), 3 * 16400)
        key = derive_key("tok-xyz", "enc-7")
        plain = decrypt(data, key)
        self.assertEqual(len(data), len(plain) + 16 * -(-len(plain) // 16384))
        mp4 = os.path.join(self.tmp, "plain.mp4")
        with open(mp4, "wb") as f:
            f.write(plain)
        info = ffprobe(mp4)
        self.assertEqual(info["streams"][0]["codec_name"], "h264")
        self.assertEqual(float(info["format"]["start_time"]), 0.0)
        self.assertAlmostEqual(float(info["format"]["duration"]), 4.0, delta=0.05)
        self.assertEqual(decoded_frames(mp4)[0], done["framesWritten"])

        swapped = data[16400:32800] + data[:16400] + data[32800:]
        with self.assertRaises(InvalidTag):
            decrypt(swapped, key)
        altered = bytearray(data)
        altered[20000] ^= 0x01
        with self.assertRaises(InvalidTag):
            decrypt(bytes(altered), key)
        with self.assertRaises(InvalidTag):
            decrypt(data, derive_key("other-token", "enc-7"))

    def test_size_ceiling_keeps_an_uploadable_file_within_the_limit(self):
        ca, cert, key = make_ca(self.tmp)
        srv = UploadServer(cert, key)
        try:
            out = os.path.join(self.tmp, "out")
            os.mkdir(out)
            proc, viewer, done = drive("--dir", out, "--session", "cap", "--format", "mp4-enc",
                                       "--frames", 60, "--max-size", 200000, "--url", srv.url,
                                       env=kvdtest.clean_env(KELVANDRUM_CA_CERT=ca))
        finally:
            srv.close()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        errors = [m for m in viewer if m["type"] == "recording_error"]
        self.assertEqual([e["code"] for e in errors], ["RECORDING_SIZE_LIMIT"])
        self.assertEqual(errors[0]["fatal"], False)
        size = os.path.getsize(os.path.join(out, "cap.mp4.enc"))
        self.assertLessEqual(size, 200000)
        self.assertGreater(size, 150000)
        uploads = [m for m in viewer if m["type"] == "recording_upload"]
        self.assertEqual(uploads[-1]["state"], "done", uploads)
        with open(os.path.join(out, "cap.mp4.enc"), "rb") as f:
            self.assertEqual(bytes(srv.data), f.read())


class UploadTest(unittest.TestCase):
    """One recording, uploaded to servers that misbehave in different ways."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = kvdtest.TempDir().__enter__()
        cls.ca, cls.cert, cls.key = make_ca(cls.tmp)
        cls.rec_dir = os.path.join(cls.tmp, "rec")
        os.mkdir(cls.rec_dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def upload(self, mode, *extra, token="", ca=True, session="up"):
        srv = UploadServer(self.cert, self.key, mode=mode)
        env = kvdtest.clean_env(**({"KELVANDRUM_CA_CERT": self.ca} if ca else {}))
        d = os.path.join(self.rec_dir, mode + session)
        os.makedirs(d, exist_ok=True)
        t0 = time.monotonic()
        try:
            proc, viewer, done = drive("--dir", d, "--session", session, "--frames", 60,
                                       "--url", srv.url, "--upload-token", token,
                                       "--chunk", CHUNK, "--backoff-ms", 200, *extra, env=env)
        finally:
            srv.close()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(os.path.join(d, session + ".mp4"), "rb") as f:
            local = f.read()
        uploads = [m for m in viewer if m["type"] == "recording_upload"]
        return srv, local, uploads, done, time.monotonic() - t0

    def check_complete(self, srv, local, uploads):
        self.assertEqual(uploads[-1]["state"], "done", uploads[-1])
        self.assertEqual(bytes(srv.data), local)
        progress = [u for u in uploads if u["state"] == "progress"]
        self.assertEqual(progress[-1]["sentBytes"], len(local))
        self.assertEqual(progress[-1]["totalBytes"], len(local))

    def test_headers_chunks_and_bearer_token(self):
        srv, local, uploads, done, _ = self.upload("ok", token="up-secret")
        self.check_complete(srv, local, uploads)
        puts = srv.puts()
        self.assertEqual(len(puts), -(-len(local) // CHUNK))
        for i, h in enumerate(puts):
            self.assertEqual(h["authorization"], "Bearer up-secret")
            self.assertEqual(h["content-type"], "application/octet-stream")
            self.assertEqual(int(h["x-upload-offset"]), i * CHUNK)
            self.assertEqual(int(h["x-upload-length"]), len(local))
            self.assertEqual(int(h["x-chunk-size"]), min(CHUNK, len(local) - i * CHUNK))
        self.assertEqual(srv.requests[0][0], "HEAD")
        self.assertEqual(done["pending"], [])

        srv, local, uploads, _, _ = self.upload("ok", session="notoken")
        self.check_complete(srv, local, uploads)
        self.assertTrue(all("authorization" not in h for _, h in srv.requests))

    def test_dropped_connection_5xx_and_conflict_are_recovered(self):
        for mode in ("drop", "5xx", "conflict"):
            with self.subTest(mode=mode):
                srv, local, uploads, _, _ = self.upload(mode)
                self.check_complete(srv, local, uploads)
                offsets = [int(h["x-upload-offset"]) for h in srv.puts()]
                if mode == "conflict":
                    # Stored, answered 500, retried at 0 -> 409 -> resumed at the server's offset.
                    self.assertEqual(offsets[:3], [0, 0, CHUNK])
                else:
                    self.assertEqual(offsets[:2], [0, 0])

    def test_untrusted_certificate_and_silent_server_fail(self):
        srv, local, uploads, done, _ = self.upload("ok", "--retries", 2, ca=False)
        self.assertEqual(uploads[-1]["state"], "failed")
        self.assertEqual(uploads[-1]["code"], "NETWORK")
        self.assertEqual(srv.data, bytearray())
        self.assertEqual(len(done["pending"]), 1)  # kept for a later attempt

        srv, local, uploads, done, took = self.upload("hang", "--timeout-sec", 3)
        self.assertEqual(uploads[-1]["state"], "failed")
        self.assertEqual(uploads[-1]["code"], "TIMEOUT", uploads[-1])
        self.assertLess(took, 20)

        # The shutdown drain gives up on its own bound, long before the deadline.
        srv, local, uploads, done, took = self.upload("hang", "--drain-ms", 1500, session="drain")
        self.assertFalse(done["drained"])
        self.assertLess(took, 15)


class DiskFullTest(unittest.TestCase):
    """A small tmpfs in a private mount namespace (root only)."""

    def run_on_tmpfs(self, size, *args):
        with kvdtest.TempDir() as mnt:
            script = (f"mount -t tmpfs -o size={size} kvdtest {mnt} && "
                      f"{DRIVE} --dir {mnt} --session full {' '.join(map(str, args))}; "
                      f"echo LISTING; ls -l {mnt}; for f in {mnt}/*; do "
                      f"echo PROBE $f; ffmpeg -v error -i $f -f null - && echo DECODED; done")
            proc = subprocess.run(["unshare", "-m", "sh", "-c", script], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, timeout=120)
        viewer = [json.loads(l)["viewer"] for l in proc.stdout.splitlines()
                  if l.startswith('{"viewer"')]
        return proc.stdout, viewer

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "needs root and unshare")
    def test_threshold_and_write_failure_stop_the_recording_and_keep_the_part(self):
        # Below the free-space threshold: stopped, finished normally to MP4.
        out, viewer = self.run_on_tmpfs("4m", "--frames", 400, "--min-free", 5 * 524288,
                                        "--disk-check-sec", 1)
        codes = [m["code"] for m in viewer if m["type"] == "recording_error"]
        self.assertEqual(codes, ["DISK_FULL"], out)
        self.assertIn("full.mp4", out)
        self.assertIn("DECODED", out)
        self.assertNotIn(".part", out)

        # No threshold: the write fails on the full disk; what was written is
        # kept (as the raw stream, since there is no room left for an MP4).
        out, viewer = self.run_on_tmpfs("1m", "--frames", 300)
        codes = [m["code"] for m in viewer if m["type"] == "recording_error"]
        self.assertEqual(codes[0], "IO_ERROR", out)
        self.assertIn("full.h264", out)
        self.assertIn("DECODED", out)


if __name__ == "__main__":
    unittest.main()
