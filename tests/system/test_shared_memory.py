"""The shared-memory frame exchange between processes: objects crafted with
mmap on /dev/shm (as a broken or hostile producer would leave them) judged by
the engine's consumer, and the helper's producers capturing a real Xvfb,
read by the consumer in another process: pixels, heartbeat death after a
SIGSTOP, leases and overwrites, clean-up of the named objects."""
import json
import mmap
import os
import signal
import struct
import sys
import tempfile
import shutil
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kvdtest import Xvfb, clean_env, tool, wait_for  # noqa: E402
from capture_helpers import LineProcess, Painter  # noqa: E402

V1_MAGIC = 0x4B564446
DIR_MAGIC = 0x4444564B
MAP_MAGIC = 0x3244564B
ORANGE = {"b": 0x00, "g": 0x80, "r": 0xFF}

_counter = [0]


def session():
    """A fresh session id; only its first 8 characters reach object names."""
    _counter[0] += 1
    return "%06x%02xTAIL" % (os.getpid() & 0xFFFFFF, _counter[0] & 0xFF)


def os_name(name):
    """The POSIX object name of an exchange object (see posix_shared_memory.cpp)."""
    out = "/"
    for ch in name.encode():
        c = chr(ch)
        if c == "\\":
            out += "."
        elif c.isascii() and (c.isalnum() or c in "_-"):
            out += c
        else:
            out += "%%%02X" % ch
    return out


def shm_path(name):
    return "/dev/shm" + os_name(name)


class Crafted:
    """A shared object written by the test, removed at close."""

    def __init__(self, name, size):
        self.path = shm_path(name)
        fd = os.open(self.path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
        os.fchmod(fd, 0o666)
        os.ftruncate(fd, size)
        self.mm = mmap.mmap(fd, size)
        os.close(fd)

    def put(self, fmt, offset, *values):
        struct.pack_into("<" + fmt, self.mm, offset, *values)

    def get(self, fmt, offset):
        return struct.unpack_from("<" + fmt, self.mm, offset)

    def close(self):
        self.mm.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


class Mapped:
    """A read-only view of an object somebody else created."""

    def __init__(self, name):
        with open(shm_path(name), "rb") as f:
            self.mm = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)

    def get(self, fmt, offset):
        return struct.unpack_from("<" + fmt, self.mm, offset)

    def close(self):
        self.mm.close()


class Consumer(LineProcess):
    def __init__(self, version, sid, log):
        super().__init__([tool("shm_consumer"), "--version", str(version), "--session", sid],
                         env=clean_env(KELVANDRUM_LOG_FILE=log, KELVANDRUM_LOG_LEVEL="info"))

    def cmd(self, line, timeout=20):
        self.send(line)
        return json.loads(self.readline(timeout))


class Producer(LineProcess):
    def __init__(self, version, sid, display, log):
        super().__init__([tool("shm_producer"), "--version", str(version), "--session", sid,
                          "--display", display],
                         env=clean_env(KELVANDRUM_LOG_FILE=log, KELVANDRUM_LOG_LEVEL="info"))
        assert self.readline() == "ready"


class Base(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kvdshm-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.log = os.path.join(self.tmp, "kvd.log")

    def log_has(self, text):
        if not os.path.exists(self.log):
            return False
        with open(self.log, encoding="utf-8") as f:
            return any(text in json.loads(line)["msg"] for line in f if line.strip())

    def craft(self, name, size):
        c = Crafted(name, size)
        self.addCleanup(c.close)
        return c

    def consumer(self, version, sid):
        c = Consumer(version, sid, self.log)
        self.addCleanup(c.close)
        return c


def craft_v1(test, sid, width, height, region, magic=V1_MAGIC):
    c = test.craft("Global\\kelvandrum-shm-" + sid[:8], region)
    c.put("IIIII", 0, magic, 1, width, height, width * 4)
    return c


def craft_v2(test, sid, width, height, seq=1, gen=1, owner=77):
    suffix = sid[:8]
    d = test.craft("Global\\kelvandrum-shm2-dir-" + suffix, 128)
    d.put("II", 0, DIR_MAGIC, 1)
    frame = width * 4 * height
    slot_stride = (frame + 63) // 64 * 64
    m = test.craft("Global\\kelvandrum-shm2-map-%s-m%d" % (suffix, seq), 320 + 3 * slot_stride)
    descriptor = ("QQIIIIIIQ", owner, 0, gen, 0, width, height, width * 4, 1, frame)
    m.put("II", 0, MAP_MAGIC, 2)
    m.put(descriptor[0], 8, *descriptor[1:])
    m.put("I", 56, 3)
    for i in range(3):
        m.put("QQ", 128 + 64 * i + 24, 320 + i * slot_stride, frame)
    d.put(descriptor[0], 40, *descriptor[1:])
    d.put("I", 88, 3)
    d.put("I", 36, seq)
    return d, m, slot_stride


class CraftedObjects(Base):
    def test_v1_header_verdicts_and_a_crafted_frame(self):
        cases = [
            ("bad magic", dict(width=4, height=4, region=128, magic=0xDEADBEEF),
             "[shm-capture] Invalid magic: 0xdeadbeef (expected 0x4b564446)"),
            ("1080p in 4 MB", dict(width=1920, height=1080, region=4 << 20),
             "[shm-capture] header geometry 1920x1080 does not fit mapped region (4194304 bytes)"),
            ("oversize", dict(width=20000, height=1, region=1 << 20),
             "[shm-capture] header geometry 20000x1 does not fit"),
        ]
        for what, args, line in cases:
            with self.subTest(what):
                sid = session()
                craft_v1(self, sid, **args)
                self.assertFalse(self.consumer(1, sid).cmd("init")["ok"])
                self.assertTrue(self.log_has(line))

        sid = session()
        c = craft_v1(self, sid, 4, 2, 64 + 32)
        c.mm[64:96] = bytes([0x10, 0x20, 0x30, 0xFF]) * 8
        c.put("QQI", 24, 1, 12345, 1)  # frameIndex, timestampUs, frameValid
        c.put("Q", 48, 9)              # heartbeat
        cons = self.consumer(1, sid)
        self.assertEqual(cons.cmd("init"), {"ok": True, "w": 4, "h": 2})
        self.assertTrue(self.log_has("[shm-capture] OpenEvent failed"))
        f = cons.cmd("until_valid 2000")
        self.assertTrue(f["valid"])
        self.assertEqual(f["ts"], 12345)
        self.assertEqual(cons.cmd("px 3 1"), {"b": 0x10, "g": 0x20, "r": 0x30})

    def test_v2_verdicts(self):
        def spoil_slot_offset(d, m):
            m.put("Q", 128 + 64 * 2 + 24, 64)

        def spoil_slot_end(d, m):
            m.put("Q", 128 + 64 + 24, len(m.mm) - 8)

        cases = [
            ("mapping version", lambda d, m: m.put("I", 4, 3), 3),
            ("oversize width", lambda d, m: (m.put("I", 32, 16385), d.put("I", 64, 16385)), 4),
            ("frameBytes short", lambda d, m: (m.put("Q", 48, 4), d.put("Q", 80, 4)), 5),
            ("geomGen differs", lambda d, m: m.put("I", 24, 2), 6),
            ("slot offset inside header", spoil_slot_offset, 7),
            ("slot beyond region", spoil_slot_end, 7),
        ]
        for what, spoil, verdict in cases:
            with self.subTest(what):
                sid = session()
                d, m, _ = craft_v2(self, sid, 4, 2, seq=3)
                spoil(d, m)
                self.assertFalse(self.consumer(2, sid).cmd("init")["ok"])
                self.assertTrue(self.log_has("[shm2-capture] mapping m3 refused (verdict=%d) — "
                                             "will rediscover" % verdict))
                self.assertTrue(self.log_has("no mapping published yet — attach deferred"))

        sid = session()
        d = self.craft("Global\\kelvandrum-shm2-dir-" + sid[:8], 128)
        d.put("II", 0, 0x01020304, 1)
        self.assertFalse(self.consumer(2, sid).cmd("init")["ok"])
        self.assertTrue(self.log_has("[shm2-capture] directory has foreign layout "
                                     "(magic 0x01020304 v1) — refusing"))

    def test_v2_lease_of_newest_published_slot(self):
        sid = session()
        d, m, stride = craft_v2(self, sid, 4, 2)
        for i, (state, seq) in enumerate([(2, 7), (2, 8), (1, 9)]):
            m.put("IIQQ", 128 + 64 * i, state, 0, seq, seq * 10)
            m.mm[320 + i * stride:320 + i * stride + 32] = bytes([seq, seq, seq, 255]) * 8
        cons = self.consumer(2, sid)
        self.assertTrue(cons.cmd("init")["ok"])
        f = cons.cmd("until_valid 2000")
        self.assertEqual(f["ts"], 80)
        self.assertEqual(m.get("I", 128 + 64)[0], 3)  # leased in the shared memory
        self.assertEqual(cons.cmd("frame")["valid"], False)  # 9 is still being written
        self.assertEqual(m.get("I", 128 + 64)[0], 0)  # lease on 8 given back
        m.put("I", 128 + 128, 2)
        f = cons.cmd("until_valid 2000")
        self.assertEqual(cons.cmd("px 0 0")["b"], 9)
        cons.cmd("release")
        self.assertEqual(m.get("I", 128 + 128)[0], 0)


class ProducersOnXvfb(Base):
    def setUp(self):
        super().setUp()
        self.xvfb = Xvfb(320, 200).__enter__()
        self.addCleanup(self.xvfb.__exit__, None, None, None)
        painter = Painter(self.xvfb.display, "--rect", "10,10,60,40,ff8000",
                          "--warp", "300,190")
        self.addCleanup(painter.close)

    def producer(self, version, sid):
        p = Producer(version, sid, self.xvfb.display, self.log)
        self.addCleanup(p.close)
        return p

    def objects(self, sid):
        return sorted(f for f in os.listdir("/dev/shm") if sid[:8] in f)

    def test_consumer_sees_painted_pixels_and_names_are_removed(self):
        for version in (1, 2):
            with self.subTest(version=version):
                sid = session()
                prod = self.producer(version, sid)
                self.assertEqual(len(self.objects(sid)), 3)
                cons = self.consumer(version, sid)
                self.assertEqual(cons.cmd("init"), {"ok": True, "w": 320, "h": 200})
                f = cons.cmd("until_valid 3000")
                self.assertTrue(f["valid"])
                self.assertEqual(f["stride"], 1280)
                self.assertEqual(cons.cmd("px 30 30"), ORANGE)
                self.assertEqual(cons.cmd("px 150 100"), {"b": 0, "g": 0, "r": 0})
                cons.close()
                prod.close()
                self.assertEqual(self.objects(sid), [])

    def test_objects_are_private_and_a_shrunk_mapping_is_a_refused_frame(self):
        for version in (1, 2):
            with self.subTest(version=version):
                sid = session()
                prod = self.producer(version, sid)
                for name in self.objects(sid):
                    mode = os.stat(os.path.join("/dev/shm", name)).st_mode & 0o777
                    self.assertEqual(mode, 0o600, name)
                cons = self.consumer(version, sid)
                self.assertTrue(cons.cmd("init")["ok"])
                self.assertTrue(cons.cmd("until_valid 3000")["valid"])
                cons.cmd("release")
                # Shrink every frame object under the consumer (the events are
                # 64 bytes; the frames are the big ones): before, the next read
                # ended the consumer with SIGBUS.
                for name in self.objects(sid):
                    path = os.path.join("/dev/shm", name)
                    if os.stat(path).st_size > 4096:
                        os.truncate(path, 0)
                f = cons.cmd("frame")
                self.assertFalse(f["valid"])
                self.assertTrue(cons.cmd("until_dead 3000")["dead"])
                self.assertIsNone(cons.proc.poll())
                self.assertTrue(self.log_has("mapping shrunk by another process — frame refused"))
                cons.close()
                prod.close()

    def test_stopped_producer_is_declared_dead_after_heartbeat_timeout(self):
        for version in (1, 2):
            with self.subTest(version=version):
                sid = session()
                prod = self.producer(version, sid)
                cons = self.consumer(version, sid)
                self.assertTrue(cons.cmd("init")["ok"])
                self.assertTrue(cons.cmd("until_valid 3000")["valid"])
                # Alive: frames keep coming and nobody dies.
                self.assertEqual(cons.cmd("until_dead 500")["dead"], False)
                os.kill(prod.proc.pid, signal.SIGSTOP)
                try:
                    r = cons.cmd("until_dead 10000", timeout=30)
                finally:
                    os.kill(prod.proc.pid, signal.SIGCONT)
                self.assertTrue(r["dead"])
                self.assertGreaterEqual(r["ms"], 4500)
                self.assertLess(r["ms"], 8000)
                line = ("[shm-capture] producer heartbeat frozen for 5s" if version == 1 else
                        "[shm2-capture] producer heartbeat frozen for 5000ms")
                self.assertTrue(self.log_has(line))

    def test_lease_is_never_overwritten_and_unread_frames_are(self):
        sid = session()
        self.producer(2, sid)
        cons = self.consumer(2, sid)
        self.assertTrue(cons.cmd("init")["ok"])
        self.assertTrue(cons.cmd("until_valid 3000")["valid"])
        leased = cons.cmd("stats")["leased"]
        self.assertIn(leased, (0, 1, 2))
        m = Mapped("Global\\kelvandrum-shm2-map-%s-m1" % sid[:8])
        self.addCleanup(m.close)

        def slot(i):
            return m.get("IIQ", 128 + 64 * i)  # state, reserved, frameSeq

        held = slot(leased)
        self.assertEqual(held[0], 3)
        # Nobody reads: the producer cycles the two other slots, overwriting.
        self.assertTrue(wait_for(lambda: m.get("Q", 96)[0] >= 5, timeout=10))
        self.assertEqual(slot(leased), held)
        latest = m.get("Q", 72)[0]
        self.assertGreater(latest, held[2] + 5)
        cons.cmd("release")
        self.assertTrue(wait_for(lambda: slot(leased)[2] > latest, timeout=5))


if __name__ == "__main__":
    unittest.main()
