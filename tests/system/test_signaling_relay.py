"""The relay signaling client against a TCP stand-in of the local service
(Python stdlib) driving the probe tool."""
import json
import os
import queue
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from signaling_helpers import probe, read_log  # noqa: E402

TOKEN = "relay-token-77"


class Relay:
    """Accepts the engine's connections; lines received go to self.lines."""

    def __init__(self, port=0):
        self.lines = queue.Queue()
        self.conns = queue.Queue()
        self.conn = None
        self.all_conns = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self.listener.accept()
            except OSError:
                return
            c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.all_conns.append(c)
            self.conns.put(c)
            threading.Thread(target=self._read, args=(c,), daemon=True).start()

    def _read(self, c):
        buf = b""
        while True:
            try:
                data = c.recv(65536)
            except OSError:
                data = b""
            if not data:
                self.lines.put(None)
                return
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                try:
                    self.lines.put(json.loads(line))
                except ValueError:
                    self.lines.put({"raw_length": len(line)})

    def accept(self, timeout=15):
        self.conn = self.conns.get(timeout=timeout)
        return self.conn

    def line(self, timeout=10):
        return self.lines.get(timeout=timeout)

    def raw(self, data):
        self.conn.sendall(data)

    def send(self, type_, payload=None):
        msg = {"type": type_}
        if payload is not None:
            msg["payload"] = payload
        self.raw((json.dumps(msg) + "\n").encode())

    def signaling(self, msg):
        self.send("SIGNALING_RECV", {"json": json.dumps(msg)})

    def stop(self):
        try:
            # shutdown wakes the thread blocked in accept(); close alone
            # would leave the listening socket alive until it returns.
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.listener.close()
        except OSError:
            pass
        for c in self.all_conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            c.close()


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.tmpdir = kvdtest.TempDir()
        self.tmp = self.tmpdir.__enter__()
        self.addCleanup(self.tmpdir.__exit__, None, None, None)
        self.log = os.path.join(self.tmp, "probe.log")
        self.relay = Relay()
        self.addCleanup(lambda: self.relay.stop())

    def start(self, token=TOKEN, *extra):
        p = probe(["pipe", str(self.relay.port), token, *extra], self.log)
        self.addCleanup(p.stop)
        return p

    def connected(self, p):
        self.relay.accept()
        hello = self.relay.line()
        self.relay.send("SIGNALING_CONNECTED", {})
        self.assertTrue(p.event("connect")["ok"])
        return hello

    def status(self, p):
        p.send({"cmd": "status"})
        return p.event("status")["connected"]

    def wait_down(self, p, limit=5):
        deadline = time.time() + limit
        while self.status(p):
            self.assertLess(time.time(), deadline, "link still reported up")
            time.sleep(0.05)

    def test_hello_and_connect_waits_for_signaling_connected(self):
        p = self.start()
        self.relay.accept()
        self.assertEqual(self.relay.line(), {"type": "hello", "payload": {"token": TOKEN}})
        time.sleep(0.6)
        self.assertFalse([e for e in p.seen + p.drain(0.0) if e.get("event") == "connect"])
        t_sent = time.time()
        self.relay.send("SIGNALING_CONNECTED", {})
        ev = p.event("connect")
        self.assertTrue(ev["ok"] and ev["connected"])
        self.assertLess(time.time() - t_sent, 1.0)
        p.send({"cmd": "quit"})
        p.event("bye")
        log = read_log(self.log)
        self.assertIn(("info", "[pipe-signaling] TCP connected, waiting for SIGNALING_CONNECTED..."),
                      log)
        self.assertIn(("info", "[pipe-signaling] connected via service relay"), log)

    def test_no_hello_without_token_and_connect_retries_until_the_relay_listens(self):
        port = self.relay.port
        self.relay.stop()
        p = self.start("")
        time.sleep(1.2)  # a few refused tries
        self.relay = Relay(port)
        self.relay.accept()
        self.relay.send("SIGNALING_CONNECTED")
        self.assertTrue(p.event("connect")["ok"])
        p.send({"cmd": "send", "msg": {"type": "offer", "sdp": "v=0\r\n\"quoted\""}})
        first = self.relay.line()  # no hello: the first line is the offer
        self.assertEqual(first["type"], "SIGNALING_SEND")
        self.assertEqual(json.loads(first["payload"]["json"]),
                         {"type": "offer", "sdp": "v=0\r\n\"quoted\""})

    def test_framing_segments_crlf_and_the_one_mib_boundary(self):
        p = self.start()
        self.connected(p)
        r = self.relay
        line = json.dumps({"type": "SIGNALING_RECV",
                           "payload": {"json": json.dumps({"type": "offer", "sdp": "A"})}}) + "\n"
        for part in (line[:5], line[5:30], line[30:]):
            r.raw(part.encode())
            time.sleep(0.05)
        self.assertEqual(p.event("recv", type="offer")["msg"]["sdp"], "A")
        two = "\r\n\n".join(json.dumps({"type": "SIGNALING_RECV", "payload": {
            "json": json.dumps({"type": "ice", "candidate": c})}}) for c in ("c1", "c2")) + "\r\n"
        r.raw(two.encode())
        self.assertEqual(p.event("recv", type="ice")["msg"]["candidate"], "c1")
        self.assertEqual(p.event("recv", type="ice")["msg"]["candidate"], "c2")
        r.send("SIGNALING_RECV", {"json": "{broken"})

        # A line of exactly 1 MiB with its newline passes...
        head = '{"type":"SIGNALING_RECV","payload":{"json":"{\\"type\\":\\"big\\"}","pad":"'
        tail = '"}}\n'
        r.raw((head + "p" * (1048576 - len(head) - len(tail)) + tail).encode())
        p.event("recv", type="big", timeout=15)
        self.assertTrue(self.status(p))
        # ...one byte more ends the reader and the link counts as down.
        r.raw((head + "p" * (1048577 - len(head) - len(tail)) + tail).encode())
        self.wait_down(p)
        p.send({"cmd": "quit"})
        p.event("bye")
        log = read_log(self.log)
        self.assertIn(("error", "[pipe-signaling] IPC line exceeded 1048576 bytes with no newline "
                                "— dropping connection"), log)
        self.assertTrue(any(m.startswith("[pipe-signaling] malformed signaling JSON: ")
                            for _, m in log))

    def test_remote_callbacks_and_engine_envelopes(self):
        p = self.start()
        self.connected(p)
        r = self.relay
        cfg = {"accessMode": "VIEW_ONLY", "allowClipboard": False, "emitStatus": True}
        r.send("REMOTE_SESSION_CONFIG", cfg)
        r.send("REMOTE_CREDENTIAL_INJECT", {"ok": False, "reason": "expired"})
        r.send("REMOTE_STOP_SESSION", {"reason": "operator"})
        got = {}
        for _ in range(3):
            e = p.event("callback")
            got[e["name"]] = e["payload"]
        self.assertEqual(got, {"sessionConfig": cfg,
                               "credentialInject": {"ok": False, "reason": "expired"},
                               "stopSession": {"reason": "operator"}})
        p.send({"cmd": "envelope", "type": "REMOTE_SESSION_CONFIG_ACK", "payload": {"ok": True}})
        self.assertEqual(r.line(), {"type": "REMOTE_SESSION_CONFIG_ACK", "payload": {"ok": True}})
        p.send({"cmd": "line", "text": "x" * 8388607})
        self.assertTrue(p.event("line", timeout=20)["ok"])
        p.send({"cmd": "line", "text": "x" * 8388608})
        self.assertFalse(p.event("line", timeout=20)["ok"])

        r.send("SIGNALING_DISCONNECTED", {"reason": "upstream gone"})
        self.wait_down(p)
        r.send("SIGNALING_CONNECTED")
        deadline = time.time() + 5
        while not self.status(p):
            self.assertLess(time.time(), deadline)
            time.sleep(0.05)
        p.send({"cmd": "quit"})
        p.event("bye")
        log = read_log(self.log)
        self.assertIn(("info", "[pipe-signaling] REMOTE_STOP_SESSION reason=operator"), log)
        self.assertIn(("warning", "[pipe-signaling] service signaling disconnected: upstream gone"),
                      log)
        self.assertIn(("error", "[pipe-signaling] writeLine dropped oversized line "
                                "(8388609 bytes > 8388608 cap)"), log)

    def test_reconnect_after_the_relay_restarts(self):
        p = self.start()
        self.connected(p)
        port = self.relay.port
        self.relay.stop()
        self.wait_down(p)
        self.relay = Relay(port)
        p.send({"cmd": "connect"})
        self.assertEqual(self.connected(p), {"type": "hello", "payload": {"token": TOKEN}})
        self.relay.signaling({"type": "answer", "sdp": "after restart"})
        self.assertEqual(p.event("recv", type="answer")["msg"]["sdp"], "after restart")
        # A second reconnect while the link is still up replaces it cleanly.
        old = self.relay.conn
        p.send({"cmd": "connect"})
        self.connected(p)
        old.settimeout(5)
        self.assertEqual(old.recv(10), b"")  # the old link was closed by the engine
        p.send({"cmd": "quit"})
        p.event("bye")
        self.assertIn(("warning", "[pipe-signaling] TCP connection closed by service"),
                      read_log(self.log))


if __name__ == "__main__":
    unittest.main()
