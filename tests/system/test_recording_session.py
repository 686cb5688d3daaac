"""Session recording through the real engine: an Xvfb display, the relay
stand-in of the local service, an aiortc viewer and a local HTTPS upload
server. The first keyframe starts a recording; the viewer stops it over the
control channel; REMOTE_SESSION_CONFIG reconfigures the recorder for an
encrypted recording with an upload URL; the viewer starts that one; the
service ends the session, and shutdown finishes, encrypts and uploads it
within the drain (the server fails the first chunk once) while the watchdog
stays quiet. The upload is decrypted independently and decoded.

Runs inside a private network namespace (as root): ICE gathers nothing on a
loopback-only host.
"""
import asyncio
import json
import os
import queue
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from test_recording import HAVE_CRYPTO, decrypt, derive_key, ffprobe, decoded_frames  # noqa: E402
from test_signaling_relay import Relay  # noqa: E402
from test_webrtc_aiortc import HAVE_AIORTC  # noqa: E402
from upload_server import UploadServer, make_ca  # noqa: E402

if HAVE_AIORTC:
    from test_webrtc_aiortc import Viewer  # noqa: E402

SESSION, TOKEN = "rec-e2e", "e2e-token"


class RelaySignaling:
    """The relay as the aiortc viewer's signaling (send / next_signal)."""

    def __init__(self, relay):
        self.relay = relay
        self.other = []

    def send(self, msg):
        self.relay.signaling(msg)

    async def next_signal(self, types, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.relay.lines.get_nowait()
            except queue.Empty:
                await asyncio.sleep(0.02)
                continue
            if line and line.get("type") == "SIGNALING_SEND":
                msg = json.loads(line["payload"]["json"])
                if msg.get("type") in types:
                    return msg
            elif line:
                self.other.append(line)
        raise AssertionError(f"no {types} within {timeout}s")


@unittest.skipUnless(kvdtest.IN_NETNS and HAVE_AIORTC and HAVE_CRYPTO,
                     "needs root (network namespace), python3-aiortc and python3-cryptography")
class RecordingSessionTest(unittest.TestCase):
    def test_recordings_through_the_engine_with_encrypted_upload_at_shutdown(self):
        with kvdtest.Xvfb(640, 480) as x, kvdtest.TempDir() as tmp:
            ca, cert, key = make_ca(tmp)
            srv = UploadServer(cert, key, mode="5xx", fails=1)
            rec_dir = os.path.join(tmp, "rec")
            relay = Relay()
            log = os.path.join(tmp, "engine.log")
            env = kvdtest.clean_env(DISPLAY=x.display, KELVANDRUM_SESSION_TOKEN=TOKEN,
                                    KELVANDRUM_RECORDING_DIR=rec_dir, KELVANDRUM_CA_CERT=ca,
                                    KELVANDRUM_LOG_FILE=log, KELVANDRUM_LOG_LEVEL="info")
            os.makedirs(rec_dir)
            paint = subprocess.Popen([kvdtest.tool("x_paint"), "--display", x.display, "--rect",
                                      "0,0,320,240,e02020"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
            self.assertEqual(paint.stdout.readline().strip(), "ready")
            err_path = os.path.join(tmp, "engine.stderr")
            err_file = open(err_path, "w")
            engine = subprocess.Popen([os.environ.get("KVD_BINARY", kvdtest.BINARY),
                                       "--session-id", SESSION, "--pipe", str(relay.port)],
                                      env=env, stdout=subprocess.DEVNULL, stderr=err_file)
            try:
                result = asyncio.new_event_loop().run_until_complete(
                    asyncio.wait_for(self.session(relay, srv.url), 90))
                code = engine.wait(60)
            finally:
                if engine.poll() is None:
                    engine.kill()
                    engine.wait()
                paint.kill()
                paint.wait()
                srv.close()
                relay.stop()
                err_file.close()
            with open(err_path, encoding="utf-8", errors="replace") as f:
                stderr = f.read()
            with open(log, encoding="utf-8", errors="replace") as f:
                engine_log = "\n".join(json.loads(l)["msg"] for l in f if l.startswith("{"))
            files = sorted(os.listdir(rec_dir))
            uploaded = bytes(srv.data)
            puts = srv.puts()
            plain_path = os.path.join(tmp, "uploaded.mp4")
            local_mp4 = os.path.join(rec_dir, SESSION + ".mp4")
            if uploaded:
                with open(plain_path, "wb") as f:
                    f.write(decrypt(uploaded, derive_key(TOKEN, SESSION)))
            plain_info = ffprobe(plain_path) if uploaded else None
            plain_frames = decoded_frames(plain_path)[0] if uploaded else -1
            first_info = ffprobe(local_mp4) if os.path.exists(local_mp4) else None
            with open(os.path.join(rec_dir, SESSION + "-2.mp4.enc"), "rb") as f:
                local_enc = f.read()

        ctrl = result["control"]
        self.assertEqual(code, 0, stderr + engine_log[-3000:])
        self.assertNotIn("watchdog", stderr.lower())
        self.assertEqual(files, [SESSION + "-2.mp4.enc", SESSION + ".mp4"], engine_log[-3000:])
        # The auto-started recording, stopped by the viewer, finished as MP4.
        self.assertEqual(ctrl["stop1"]["active"], False)
        self.assertEqual(ctrl["stop1"]["path"], local_mp4)
        self.assertGreater(ctrl["stop1"]["sizeBytes"], 0)
        self.assertEqual((first_info["streams"][0]["width"], first_info["streams"][0]["height"]),
                         (640, 480))
        self.assertEqual(float(first_info["format"]["start_time"]), 0.0)
        self.assertAlmostEqual(float(first_info["format"]["duration"]),
                               ctrl["stop1"]["durationMs"] / 1000, delta=1.2)
        self.assertEqual(result["ack"], {"type": "REMOTE_SESSION_CONFIG_ACK", "payload": {"ok": True}})
        self.assertEqual(ctrl["start2"]["active"], True)
        self.assertEqual(ctrl["start2"]["path"], os.path.join(rec_dir, SESSION + "-2.mp4.enc"))
        # The encrypted recording was uploaded at shutdown, after one 503.
        self.assertEqual(uploaded, local_enc)
        self.assertEqual([int(h["x-upload-offset"]) for h in puts][:2], [0, 0])
        self.assertEqual(puts[0]["authorization"], "Bearer upl-secret")
        self.assertEqual(plain_info["streams"][0]["codec_name"], "h264")
        self.assertEqual(float(plain_info["format"]["start_time"]), 0.0)
        self.assertGreater(float(plain_info["format"]["duration"]), 1.0)
        self.assertGreater(plain_frames, 1)
        for line in ("[recording] auto-started on first keyframe: ok=true path=" + local_mp4,
                     "[recording] IPC config received: enabled=true tenant=acme uploadUrl=" +
                     srv.url,
                     "[recording] reconfigured: tenant=acme format=Mp4Encrypted",
                     "[recording] start requested -> ok=true path=" +
                     os.path.join(rec_dir, SESSION + "-2.mp4.enc"),
                     "[recording] stopped at session end",
                     "[recording] starting upload: file=" +
                     os.path.join(rec_dir, SESSION + "-2.mp4.enc"),
                     "[recording] upload complete: {} bytes".format(len(local_enc)),
                     "[recording] upload drained before exit"):
            self.assertIn(line, engine_log)

    async def session(self, relay, upload_url):
        relay.accept(timeout=20)
        hello = relay.line()
        assert hello["type"] == "hello", hello
        relay.send("SIGNALING_CONNECTED", {})
        sig = RelaySignaling(relay)
        viewer = Viewer(sig)
        await viewer.negotiate()
        await viewer.wait(lambda: "control" in viewer.channels and
                          viewer.channels["control"].readyState == "open", 20, "control channel")
        await viewer.wait(lambda: len(viewer.frames) >= 3, 30, "video frames")
        await asyncio.sleep(1.5)
        control = viewer.channels["control"]
        got = viewer.received["control"]

        async def reply(send, pred, what):
            start = len(got)
            if send:
                control.send(json.dumps(send))
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                for m in got[start:]:
                    if isinstance(m, str):
                        j = json.loads(m)
                        if pred(j):
                            return j
                await asyncio.sleep(0.05)
            raise AssertionError(f"no {what}: {got[-10:]}")

        out = {}
        out["stop1"] = await reply({"type": "recording_stop"},
                                   lambda j: j.get("type") == "recording_status" and not j["active"],
                                   "stop reply")
        relay.send("REMOTE_SESSION_CONFIG", {"recording": {
            "enabled": True, "tenantId": "acme", "uploadUrl": upload_url,
            "uploadToken": "upl-secret", "maxSizeBytes": 50_000_000}})
        deadline = time.monotonic() + 15
        ack = None
        while ack is None and time.monotonic() < deadline:
            ack = next((l for l in sig.other if l.get("type") == "REMOTE_SESSION_CONFIG_ACK"), None)
            if ack is None:
                try:
                    line = relay.lines.get_nowait()
                    if line:
                        sig.other.append(line)
                except queue.Empty:
                    await asyncio.sleep(0.05)
        out_ack = ack
        out["start2"] = await reply({"type": "recording_start"},
                                    lambda j: j.get("type") == "recording_status" and "path" in j,
                                    "start reply")
        await asyncio.sleep(2.5)
        relay.send("REMOTE_STOP_SESSION", {"reason": "test over"})
        await asyncio.sleep(0.2)
        await viewer.close()
        return {"control": out, "ack": out_ack}


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
