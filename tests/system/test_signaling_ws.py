"""The direct WebSocket signaling client against real ws:// and wss://
servers: a bare scriptable `ws` server and the development server."""
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
from signaling_helpers import (bare_server, dev_server, make_ca, probe, read_log,  # noqa: E402
                               viewer)

FAST = ["--step-ms", "50", "--handshake-steps", "30", "--pause-steps", "2", "--attempts", "2"]
TOKEN = "tok-Secret-4f9a"


def msgs_of(server, event="message"):
    return [e for e in server.seen if e.get("event") == event]


class BareServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = kvdtest.TempDir().__enter__()
        self.log = os.path.join(self.tmp, "probe.log")
        self.server, self.port = bare_server()
        self.addCleanup(self.server.stop)

    def tearDown(self):
        import shutil
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start_probe(self, url=None, *extra, **env):
        url = url or f"ws://127.0.0.1:{self.port}/sig/v9?drop=me"
        p = probe(["ws", url, TOKEN, "sess-42", *FAST, *extra], self.log, **env)
        self.addCleanup(p.stop)
        return p

    def joined(self, p):
        """Waits for connect + the join frame; returns the connection event."""
        self.assertTrue(p.event("connect")["ok"])
        conn = self.server.event("connection")
        join = self.server.event("message")
        return conn, json.loads(join["data"])

    def test_join_path_headers_and_token_stays_out_of_the_log(self):
        p = self.start_probe()
        conn, join = self.joined(p)
        self.assertEqual(conn["path"], f"/sig/v9?token={TOKEN}")
        self.assertEqual(conn["protocol"], "signaling")
        self.assertEqual(conn["host"], "127.0.0.1")
        self.assertIn(conn["origin"], ("127.0.0.1", "http://127.0.0.1"))
        self.assertEqual(join, {"type": "join", "role": "agent", "sessionId": "sess-42"})
        p.send({"cmd": "quit"})
        p.event("bye")
        log = read_log(self.log)
        self.assertIn(("info", f"Connecting to signaling: ws://127.0.0.1:{self.port}/sig/v9"), log)
        self.assertIn(("warning", "Using unencrypted WebSocket (ws://). Development only!"), log)
        with open(self.log, encoding="utf-8") as f:
            self.assertNotIn(TOKEN, f.read())

    def test_ping_pong_fragments_types_and_sends_from_another_thread(self):
        p = self.start_probe()
        self.joined(p)
        s = self.server
        s.send({"cmd": "send", "data": json.dumps({"type": "ping", "ts": 1712345678901})})
        pong = json.loads(s.event("message")["data"])
        self.assertEqual(pong, {"type": "pong", "ts": 1712345678901})
        s.send({"cmd": "send", "data": '{"type":"ping"}'})
        self.assertEqual(json.loads(s.event("message")["data"]), {"type": "pong", "ts": 0})

        # One message in four frames arrives once, whole.
        text = json.dumps({"type": "answer", "sdp": "v=0\r\n" + "a=x\r\n" * 5000})
        q = len(text) // 4
        s.send({"cmd": "fragments", "parts": [text[:q], text[q:2 * q], text[2 * q:3 * q], text[3 * q:]]})
        got = p.event("recv", type="answer")
        self.assertEqual(got["msg"], json.loads(text))

        # Malformed text, a type nobody handles and a missing type.
        s.send({"cmd": "send", "data": "{not json"})
        s.send({"cmd": "send", "data": '{"type":"mystery"}'})
        s.send({"cmd": "send", "data": '{"sdp":"typeless"}'})
        self.assertEqual(p.event("recv", type="")["msg"], {"sdp": "typeless"})

        # Sends from the probe's stdin thread reach the server in order.
        for i in range(50):
            p.send({"cmd": "send", "msg": {"type": "ice", "candidate": f"c{i}", "sdpMid": "video",
                                           "sdpMLineIndex": 0}})
        cands = [json.loads(s.event("message")["data"])["candidate"] for _ in range(50)]
        self.assertEqual(cands, [f"c{i}" for i in range(50)])
        p.send({"cmd": "status"})
        self.assertTrue(p.event("status")["connected"])
        p.send({"cmd": "quit"})
        p.event("bye")
        log = read_log(self.log)
        self.assertIn(("warning", "Malformed signaling message"), log)
        self.assertIn(("warning", "No handler for signaling message type: mystery"), log)
        self.assertEqual(sum(1 for lv, m in log if m == "Signaling recv: type=answer"), 1)

    def test_oversize_message_is_dropped_and_the_link_stays(self):
        p = self.start_probe()
        self.joined(p)
        self.server.send({"cmd": "big", "bytes": 1024 * 1024 + 1})
        self.server.send({"cmd": "big", "bytes": 1024 * 1024})
        got = p.event("recv", type="big", timeout=20)
        self.assertEqual(len(json.dumps(got["msg"], separators=(",", ":"))), 1024 * 1024)
        p.send({"cmd": "status"})
        self.assertTrue(p.event("status")["connected"])
        p.send({"cmd": "quit"})
        p.event("bye")
        log = read_log(self.log)
        self.assertEqual(log.count(("warning", "Signaling message exceeds 1048576 bytes, dropped")), 1)
        self.assertNotIn(("warning", "Malformed signaling message"), log)

    def test_server_close_turns_isConnected_false_and_reconnect_rejoins(self):
        p = self.start_probe()
        self.joined(p)
        for how in ({"cmd": "close", "code": 1001}, {"cmd": "terminate"}):
            self.server.send(how)
            self.server.event("close")
            deadline = time.time() + 5
            while True:
                p.send({"cmd": "status"})
                if not p.event("status")["connected"]:
                    break
                self.assertLess(time.time(), deadline, "isConnected stayed true")
                time.sleep(0.05)
            # Queued while down: written after the new join on reconnect.
            p.send({"cmd": "send", "msg": {"type": "ice", "candidate": "while-down"}})
            p.event("sent")
            p.send({"cmd": "connect"})
            self.assertTrue(p.event("connect")["ok"])
            self.server.event("connection")
            first = json.loads(self.server.event("message")["data"])
            second = json.loads(self.server.event("message")["data"])
            self.assertEqual(first["candidate"], "while-down")
            self.assertEqual(second["type"], "join")
        p.send({"cmd": "quit"})
        p.event("bye")
        self.assertIn(("info", "Signaling WebSocket closed"), read_log(self.log))

    def test_unreachable_server_gives_up_after_the_attempts(self):
        port = kvdtest.free_port()
        t0 = time.time()
        p = self.start_probe(f"ws://127.0.0.1:{port}/x")
        ev = p.event("connect", timeout=30)
        self.assertFalse(ev["ok"])
        self.assertLess(time.time() - t0, 20)
        p.send({"cmd": "quit"})
        p.event("bye")
        log = read_log(self.log)
        self.assertIn(("warning", "Signaling connection attempt 1 failed, retrying in 2s..."), log)
        self.assertIn(("error", "Signaling connection failed after 2 attempts"), log)
        self.assertTrue(any(m.startswith("Signaling WebSocket connection error") for _, m in log))


class TlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmpdir = kvdtest.TempDir()
        cls.tmp = cls.tmpdir.__enter__()
        cls.ca, cls.cert, cls.key = make_ca(cls.tmp)
        cls.server, cls.url = dev_server("--cert", cls.cert, "--key", cls.key, "--token", TOKEN)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmpdir.__exit__(None, None, None)

    def run_probe(self, name, **env):
        log = os.path.join(self.tmp, name + ".log")
        p = probe(["ws", self.url + "/api/v2/remote/signaling", TOKEN, "tls-" + name, *FAST],
                  log, **env)
        try:
            ok = p.event("connect", timeout=30)["ok"]
            p.send({"cmd": "quit"})
            p.event("bye")
        finally:
            p.stop()
        return ok, read_log(log)

    def test_verification_by_default_with_test_ca_and_insecure_override(self):
        self.assertTrue(self.url.startswith("wss://127.0.0.1:"))
        ok, log = self.run_probe("ca", KELVANDRUM_CA_CERT=self.ca)
        self.assertTrue(ok)
        self.assertIn(("info", f"Using custom CA cert: {self.ca}"), log)

        ok, _ = self.run_probe("noca")
        self.assertFalse(ok, "an unknown CA must not be trusted")

        insecure_warning = ("warning", "[signaling] KELVANDRUM_TLS_INSECURE=1 — TLS verification "
                            "DISABLED (dev only)")
        ok, log = self.run_probe("insecure", KELVANDRUM_TLS_INSECURE="1yes")
        self.assertTrue(ok)
        self.assertIn(insecure_warning, log)

        ok, log = self.run_probe("notinsecure", KELVANDRUM_TLS_INSECURE="yes1")
        self.assertFalse(ok)
        self.assertNotIn(insecure_warning, log)


class DevServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = kvdtest.TempDir().__enter__()
        self.server, self.url = dev_server("--token", TOKEN, "--ping-interval-ms", "200")
        self.addCleanup(self.server.stop)

    def agent(self, sid="room1", token=TOKEN):
        p = probe(["ws", self.url + "/api/v2/remote/signaling", token, sid, *FAST],
                  os.path.join(self.tmp, f"agent-{sid}-{time.time()}.log"))
        self.addCleanup(p.stop)
        return p

    def test_rooms_relay_request_offer_and_pings(self):
        a = self.agent()
        self.assertTrue(a.event("connect")["ok"])
        a.event("recv", type="join_ack")
        ping = a.event("recv", type="ping", timeout=5)
        self.assertIsInstance(ping["msg"]["ts"], int)

        v = viewer(self.url + "/viewer?session=room1")
        self.addCleanup(v.stop)
        v.event("open")
        self.assertEqual(v.event("message")["msg"], {"type": "agent_status", "present": True})
        self.assertEqual(a.event("recv", type="peer_joined")["msg"],
                         {"type": "peer_joined", "role": "viewer"})

        a.send({"cmd": "send", "msg": {"type": "offer", "sdp": "v=0 offer"}})
        self.assertEqual(v.event("message")["msg"], {"type": "offer", "sdp": "v=0 offer"})
        v.send({"type": "answer", "sdp": "v=0 answer"})
        self.assertEqual(a.event("recv", type="answer")["msg"]["sdp"], "v=0 answer")
        v.send({"type": "ice", "candidate": "candidate:1", "sdpMid": "video"})
        self.assertEqual(a.event("recv", type="ice")["msg"]["candidate"], "candidate:1")
        v.send({"type": "join", "sessionId": "hijack"})  # not relayed
        v.send({"type": "request_offer"})
        a.event("recv", type="peer_joined")
        self.assertFalse([e for e in a.drain(0.3) if e.get("type") == "join"])

        # A newer viewer replaces the older one.
        v2 = viewer(self.url + "/viewer?session=room1")
        self.addCleanup(v2.stop)
        v2.event("open")
        self.assertEqual(v.event("close")["code"], 4000)
        a.event("recv", type="peer_joined")

        # Agent leaves: the viewer is told.
        a.send({"cmd": "quit"})
        a.event("bye")
        self.assertEqual(v2.expect(lambda e: e.get("msg", {}).get("present") is False)["msg"],
                         {"type": "agent_status", "present": False})
        time.sleep(0.2)
        self.assertTrue(any("pong ts=" in l for l in self.server.stderr_lines))

    def test_wrong_token_is_refused(self):
        # The server completes the handshake, then closes with 4001: the
        # client must notice and report the link as down.
        a = self.agent(token="wrong")
        a.event("connect", timeout=30)
        deadline = time.time() + 5
        while True:
            a.send({"cmd": "status"})
            if not a.event("status")["connected"]:
                break
            self.assertLess(time.time(), deadline, "refused link still reported as up")
            time.sleep(0.05)
        self.assertFalse([e for e in a.seen if e.get("type") == "join_ack"])
        self.assertTrue(any("agent refused: bad token" in l for l in self.server.stderr_lines))

    def test_http_health_static_files_and_no_traversal(self):
        import http.client
        host, port = self.url[len("ws://"):].rsplit(":", 1)

        def get(path):
            c = http.client.HTTPConnection(host, int(port), timeout=5)
            c.request("GET", path)
            r = c.getresponse()
            body = r.read()
            c.close()
            return r.status, r.getheader("Content-Type"), body

        self.assertEqual(get("/health")[0::2], (200, b"ok"))
        for path in ("/../server.js", "/%2e%2e/server.js", "/..%2fserver.js", "/%2e%2e%2fpackage.json",
                     "/nonexistent.js"):
            self.assertEqual(get(path)[0], 404, path)
        public = os.path.join(kvdtest.ROOT, "tools", "viewer", "public")
        if os.path.exists(os.path.join(public, "index.html")):
            status, ctype, _ = get("/")
            self.assertEqual((status, ctype), (200, "text/html; charset=utf-8"))


if __name__ == "__main__":
    unittest.main()
