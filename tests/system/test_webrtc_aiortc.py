"""The real WebRTC stack (webrtcbin adapter, PeerConnectionManager, VideoSender
in kvdtool_webrtc_peer) against aiortc as an independent second peer.

Runs inside a private network namespace (as root) holding lo and a veth pair,
because ICE gathers nothing useful on a loopback-only host.
"""
import asyncio
import json
import os
import queue
import re
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

IN_NETNS = os.environ.get("KVD_WEBRTC_NETNS") == "1"


def setup_netns():
    for cmd in ("ip link set lo up",
                "ip link add kvd0 type veth peer name kvd1",
                "ip addr add 10.99.0.1/24 dev kvd0",
                "sysctl -qw net.ipv6.conf.all.accept_dad=0",
                "ip link set kvd0 up", "ip link set kvd1 up",
                "ip route add default dev kvd0"):
        subprocess.run(cmd.split(), check=True, stdout=subprocess.DEVNULL)


try:
    from aiortc import RTCPeerConnection, RTCSessionDescription
    from aiortc.sdp import candidate_from_sdp
    HAVE_AIORTC = True
except ImportError:  # pragma: no cover
    HAVE_AIORTC = False


class Tool:
    """kvdtool_webrtc_peer with its stdio signaling."""

    def __init__(self, h264, log):
        self.proc = subprocess.Popen([kvdtest.tool("webrtc_peer"), "--h264", h264, "--log", log],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=kvdtest.clean_env())
        self.log_path = log
        self.lines = queue.Queue()
        self.events = []
        self.stdout_garbage = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            try:
                msg = json.loads(raw)
            except ValueError:
                self.stdout_garbage.append(raw)
                continue
            if msg.get("type") == "tool_event":
                msg["t"] = time.monotonic()
                self.events.append(msg)
            self.lines.put(msg)

    def send(self, msg):
        self.proc.stdin.write((json.dumps(msg) + "\n").encode())
        self.proc.stdin.flush()

    async def next_signal(self, types, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                msg = self.lines.get_nowait()
            except queue.Empty:
                await asyncio.sleep(0.02)
                continue
            if msg.get("type") in types:
                return msg
        raise AssertionError(f"no {types} within {timeout}s")

    async def wait_event(self, name, after=0.0, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for e in self.events:
                if e["event"] == name and e["t"] >= after:
                    return e
            await asyncio.sleep(0.02)
        raise AssertionError(f"no tool event {name} within {timeout}s")

    def log_text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.send({"type": "tool_cmd", "cmd": "quit"})
                self.proc.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


class Viewer:
    """An aiortc viewer answering the engine's offer."""

    def __init__(self, tool):
        self.tool = tool
        self.pc = RTCPeerConnection()
        self.channels = {}
        self.received = {}
        self.frames = []
        self.track = None
        self.pending_ice = []
        self.remote_set = False

        @self.pc.on("datachannel")
        def on_dc(ch):
            self.channels[ch.label] = ch
            self.received[ch.label] = []
            ch.on("message", lambda m, label=ch.label: self.received[label].append(m))

        @self.pc.on("track")
        def on_track(track):
            self.track = track
            asyncio.ensure_future(self._pull(track))

    async def _pull(self, track):
        try:
            while True:
                self.frames.append(await track.recv())
        except Exception:  # track ended
            pass

    async def negotiate(self, tamper=None):
        """Joins, answers the offer (tampered first when asked) and trickles ICE."""
        self.tool.send({"type": "peer_joined", "role": "viewer"})
        offer = await self.tool.next_signal({"offer"})
        self.offer_sdp = offer["sdp"]
        await self.pc.setRemoteDescription(RTCSessionDescription(offer["sdp"], "offer"))
        await self.pc.setLocalDescription(await self.pc.createAnswer())
        answer = self.pc.localDescription.sdp
        if tamper:
            self.tool.send({"type": "answer", "sdp": tamper(answer)})
            await asyncio.sleep(0.5)
        self.tool.send({"type": "answer", "sdp": answer})
        self.answered_at = time.monotonic()
        self.ice_task = asyncio.ensure_future(self._trickle())

    async def _trickle(self):
        while True:
            try:
                msg = await self.tool.next_signal({"ice"}, timeout=3600)
            except AssertionError:
                return
            cand = candidate_from_sdp(msg["candidate"].split(":", 1)[1])
            cand.sdpMid = self.pc.getTransceivers()[0].mid
            cand.sdpMLineIndex = 0
            await self.pc.addIceCandidate(cand)

    async def wait(self, predicate, timeout=20, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return
            await asyncio.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}")

    async def close(self):
        self.ice_task.cancel()
        await self.pc.close()


@unittest.skipUnless(IN_NETNS and HAVE_AIORTC, "needs root (network namespace) and python3-aiortc")
class WebrtcAiortcTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kvdtest.TempDir().__enter__()
        cls.h264 = os.path.join(cls.tmp, "in.h264")
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc=size=640x360:rate=30", "-t", "4", "-c:v", "libx264",
                        "-profile:v", "baseline", "-level", "3.1", "-pix_fmt", "yuv420p",
                        "-g", "15", "-bsf:v", "h264_mp4toannexb", "-f", "h264", cls.h264], check=True)

    @classmethod
    def tearDownClass(cls):
        import shutil
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_async(self, coro):
        return asyncio.new_event_loop().run_until_complete(asyncio.wait_for(coro, 90))

    def test_session_with_refused_answer_keyframe_request_departure_and_rebuild(self):
        tool = Tool(self.h264, os.path.join(self.tmp, "tool.log"))
        try:
            self.run_async(self._session(tool))
        finally:
            tool.stop()
        self.assertEqual(tool.stdout_garbage, [], "stdout carries only JSON lines")

    async def _session(self, tool):
        await tool.wait_event("ready")
        viewer = Viewer(tool)
        # An answer that rejects the video section is refused; the process
        # survives and takes the real answer afterwards.
        await viewer.negotiate(tamper=lambda sdp: re.sub(r"m=video \d+ ", "m=video 0 ", sdp, count=1))
        self.assertIn("b=AS:2000", viewer.offer_sdp)
        self.assertIn("a=mid:video", viewer.offer_sdp)

        await viewer.wait(lambda: len(viewer.channels) == 5 and
                          all(c.readyState == "open" for c in viewer.channels.values()),
                          what="five open channels")
        channels_open_ms = (time.monotonic() - viewer.answered_at) * 1000
        log = tool.log_text()
        self.assertIn("Failed to set remote SDP answer: answer rejects the video section", log)
        self.assertIsNone(tool.proc.poll())
        self.assertEqual({k: (c.ordered, c.maxRetransmits) for k, c in viewer.channels.items()},
                         {"video": (True, None), "control": (True, None), "file": (True, None),
                          "input": (False, 0), "chat": (True, None)})

        # Messages both ways on every channel (the tool echoes).
        viewer.channels["control"].send('{"type":"hello"}')
        viewer.channels["chat"].send('{"type":"chat","text":"hi"}')
        viewer.channels["input"].send(b"\x01\x02\x03")
        # A file CHUNK message: 16 KiB of payload behind its header.
        viewer.channels["file"].send(b"\x05" + b"\xff" * 16394)
        viewer.channels["video"].send('{"cmd":"quality","maxHeight":480,"fps":15}')
        await viewer.wait(lambda: viewer.received["control"] and viewer.received["chat"] and
                          viewer.received["input"] and viewer.received["file"], what="echoes")
        self.assertEqual(json.loads(viewer.received["control"][0]),
                         {"type": "echo", "data": '{"type":"hello"}'})
        self.assertEqual(viewer.received["input"][0], b"\x01\x02\x03")
        self.assertEqual(viewer.received["file"][0], b"\x05" + b"\xff" * 16394)
        quality = await tool.wait_event("quality")
        self.assertEqual((quality["maxHeight"], quality["fps"]), (480, 15))

        # RTP video decodes to the test pattern's size (and on the data
        # channel the chunks of each frame arrive too).
        await viewer.wait(lambda: len(viewer.frames) >= 20, what="decoded RTP frames")
        self.assertEqual((viewer.frames[-1].width, viewer.frames[-1].height), (640, 360))
        await viewer.wait(lambda: sum(1 for m in viewer.received["video"] if isinstance(m, bytes)) >= 10,
                          what="video chunks")
        chunk = next(m for m in viewer.received["video"] if isinstance(m, bytes))
        self.assertEqual(int.from_bytes(chunk[0:4], "little"), len(chunk) - 12)  # single-chunk frame
        self.assertEqual((chunk[10], chunk[11]), (0, 1))

        # A PLI from the viewer reaches the engine as a keyframe request.
        ssrc = next(iter(viewer.pc.getReceivers()[0]._RTCRtpReceiver__active_ssrc))
        sent_at = time.monotonic()
        await viewer.pc.getReceivers()[0]._send_rtcp_pli(ssrc)
        await tool.wait_event("keyframe_request", after=sent_at, timeout=10)

        # Departure: noticed from the DTLS transport in seconds, not after
        # webrtcbin's ~50 s; the tool then rebuilds for the next viewer.
        left_at = time.monotonic()
        await viewer.close()
        await tool.wait_event("disconnected", after=left_at, timeout=10)
        departure_s = next(e["t"] for e in tool.events
                           if e["event"] == "disconnected" and e["t"] >= left_at) - left_at
        await tool.wait_event("rebuilt", after=left_at)

        second = Viewer(tool)
        await second.negotiate()
        await second.wait(lambda: len(second.frames) >= 10, what="frames for the second viewer")
        await second.close()
        print(f"\nanswer->5 channels open: {channels_open_ms:.0f} ms; departure noticed after "
              f"{departure_s:.2f} s", file=sys.stderr)


if __name__ == "__main__":
    if not IN_NETNS and os.geteuid() == 0 and HAVE_AIORTC and os.path.exists("/usr/bin/unshare"):
        env = dict(os.environ, KVD_WEBRTC_NETNS="1")
        os.execve("/usr/bin/unshare", ["unshare", "-n", sys.executable, os.path.abspath(__file__),
                                       *sys.argv[1:]], env)
    if IN_NETNS:
        setup_netns()
    unittest.main()
