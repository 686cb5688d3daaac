"""The engine binary as its parent service sees it: exact status bytes on
stdout/stderr and exit codes for the modes that need no session."""
import json
import os
import socket
import subprocess
import threading
import time
import unittest

import kvdtest
import signaling_helpers


def run(args, timeout=20, **env):
    with kvdtest.TempDir() as tmp:
        e = kvdtest.clean_env(KELVANDRUM_LOG_FILE=os.path.join(tmp, "engine.log"), **env)
        p = subprocess.run([kvdtest.BINARY, *args], env=e, capture_output=True, timeout=timeout)
        log = ""
        if os.path.exists(e["KELVANDRUM_LOG_FILE"]):
            with open(e["KELVANDRUM_LOG_FILE"], encoding="utf-8") as f:
                log = f.read()
        return p.returncode, p.stdout, p.stderr, log


class ProcessModes(unittest.TestCase):
    def test_permission_probe_needs_no_session(self):
        for flag in ("--check-permissions", "--request-permissions"):
            code, out, err, _ = run([flag])
            self.assertEqual(code, 0)
            self.assertEqual(out, b'{"accessibility":false,"screenRecording":false}\n')
            self.assertEqual(err, b"")

    def test_agent_refused(self):
        code, out, err, _ = run(["--agent", "--session-id", "x"])
        self.assertEqual(code, 1)
        self.assertEqual(out, b"")
        self.assertEqual(err, b"[agent] FATAL: --agent mode is macOS-only\n")

    def test_fatal_paths(self):
        token_msg = ("--token no longer accepts a session token on the command line: a SYSTEM "
                     "process's argv is readable by any local user via WMI. Pass "
                     "KELVANDRUM_SESSION_TOKEN in the environment instead.")
        cases = [
            (["--session-id", "s", "--signaling-url", "ws://127.0.0.1:1"], {},
             "Required args: --session-id, --token"),
            (["--token", "dummy", "--session-id", "s", "--pipe", "p"], {},
             "Required args: --session-id, --token"),
            (["--session-id", "s"], {"KELVANDRUM_SESSION_TOKEN": "t"},
             "Required: --signaling-url (direct) or --pipe (relay)"),
            (["--token", "abc"], {}, token_msg),
            (["--fps", "abc"], {}, "invalid stoi argument"),
            (["--max-bitrate", "4294967296"], {}, "stoi argument out of range"),
            (["--config-json", "{nope"], {}, None),
            (["--config-json", '{"sessionId":"a","sessionToken":"b"}'], {},
             "JSON config: signalingUrl or pipeName required"),
        ]
        enc = lambda s: "".join(c if c.isalnum() and c.isascii() or c in "-._~" else
                                "".join("%%%02X" % b for b in c.encode()) for c in s)
        for args, env, msg in cases:
            with self.subTest(args=args):
                code, out, err, _ = run(args, **env)
                self.assertEqual(code, 1)
                text = err.decode()
                self.assertTrue(text.startswith("Fatal: ") and text.endswith("\n"), text)
                what = text[len("Fatal: "):-1]
                if msg is not None:
                    self.assertEqual(what, msg)
                else:
                    self.assertTrue(what.startswith("JSON config parse error: "), what)
                self.assertEqual(out.decode(), "KELVANDRUM_ERROR code=1 msg=%s\n" % enc(what))

    def test_startup_log_lines(self):
        # The engine cannot reach the signaling port; it still logs its start-up
        # in the JSON-line format before failing with code 3.
        code, out, err, log = run(
            ["--session-id", "sess\"ion-1", "--pipe", "relay", "--fps", "24",
             "--max-bitrate", "3000"],
            timeout=120, KELVANDRUM_SESSION_TOKEN="t", KELVANDRUM_LOG_LEVEL="info",
            KELVANDRUM_ICE_SERVERS='{"stunServers":["stun:a:1"],"turnServers":['
                                   '{"urls":["turn:t:1","turns:t:2"],"username":"u","credential":"c"}]}')
        lines = [json.loads(l) for l in log.splitlines()]
        msgs = [l["msg"] for l in lines]
        self.assertTrue(all(l["sid"] == 'sess"ion-1' for l in lines))
        self.assertIn("kelvandrum-remote v0.1.0 starting", msgs)
        self.assertIn("Platform: linux", msgs)
        self.assertIn("Session: sess\"ion-1", msgs)
        self.assertIn("Target FPS: 24, Max bitrate: 3000 kbps", msgs)
        self.assertIn("[ice] ingested 1 STUN + 2 TURN from KELVANDRUM_ICE_SERVERS", msgs)
        self.assertTrue(any(m.startswith("DPI awareness: ") for m in msgs))
        self.assertEqual(code, 3)
        self.assertEqual(out, b"KELVANDRUM_ERROR code=3 msg=signaling%20connect%20failed\n")


class Session:
    """The engine as a long-running child: stdout lines, log file, exit."""

    def __init__(self, args, tmp, **env):
        self.log_path = os.path.join(tmp, "engine.log")
        e = kvdtest.clean_env(KELVANDRUM_LOG_FILE=self.log_path, KELVANDRUM_SESSION_TOKEN="t",
                              KELVANDRUM_LOG_LEVEL="info", **env)
        e.pop("DISPLAY", None)
        e.update(env)
        self.proc = subprocess.Popen([kvdtest.BINARY, *args], env=e, stdout=subprocess.PIPE)

    def ready_line(self, timeout=60):
        deadline = time.time() + timeout
        line = b""
        while time.time() < deadline and not line.endswith(b"\n"):
            line += self.proc.stdout.readline()
        return line

    def stop(self, sig=15, timeout=20):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def log(self):
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(l)["msg"] for l in f if l.strip()]


class SessionProcess(unittest.TestCase):
    def test_ready_line_then_clean_stop(self):
        server, url = signaling_helpers.dev_server("--host", "127.0.0.1")
        try:
            with kvdtest.Xvfb(640, 480) as x:
                cases = [
                    ("terminal-only", ["--terminal-only"], {},
                     ["--terminal-only: skipping screen capture / video encode"]),
                    ("no display", [], {},
                     ["DXGI init failed/invalid — trying GDI fallback (display may be asleep or locked)",
                      "GDI fallback also failed/invalid — will retry after TCP connect"]),
                    ("display", [], {"DISPLAY": x.display}, ["Screen capture: 640x480"]),
                ]
                for name, extra, env, expected in cases:
                    with self.subTest(name), kvdtest.TempDir() as tmp:
                        s = Session(["--session-id", "p1", "--signaling-url", url, *extra], tmp, **env)
                        self.assertEqual(s.ready_line(), b"KELVANDRUM_READY session_id=p1\n")
                        self.assertEqual(s.stop(), 0)
                        msgs = s.log()
                        for m in expected + ["Signaling mode: direct WebSocket (url=%s)" % url,
                                             "Waiting for viewer to connect...", "Shutting down...",
                                             "kelvandrum-remote stopped"]:
                            self.assertIn(m, msgs)
        finally:
            server.stop()

    def test_relay_stop_request_and_exit_truth(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        got = []

        def relay():
            conn, _ = listener.accept()
            f = conn.makefile("rwb")
            got.append(json.loads(f.readline()))  # hello
            f.write(b'{"type":"SIGNALING_CONNECTED","payload":{}}\n')
            f.write(b'{"type":"REMOTE_SESSION_CONFIG","payload":{"accessMode":"ADMIN"}}\n')
            f.write(b'{"type":"REMOTE_SESSION_CONFIG","payload":{"accessMode":"VIEW_ONLY",'
                    b'"emitStatus":true}}\n')
            f.flush()
            time.sleep(2.5)
            f.write(b'{"type":"REMOTE_STOP_SESSION","payload":{"reason":"admin"}}\n')
            f.flush()
            for line in f:
                got.append(json.loads(line))
            conn.close()

        t = threading.Thread(target=relay, daemon=True)
        t.start()
        with kvdtest.TempDir() as tmp:
            s = Session(["--session-id", "p2", "--pipe", str(port)], tmp,
                        KELVANDRUM_ENGINE_EXIT_TRUTH="1")
            self.assertEqual(s.ready_line(), b"KELVANDRUM_READY session_id=p2\n")
            self.assertEqual(s.proc.wait(20), 0)
            t.join(5)
            msgs = s.log()
        listener.close()
        self.assertEqual(got[0], {"type": "hello", "payload": {"token": "t"}})
        self.assertIn("[session] stop requested by agent over IPC, reason=admin", msgs)
        self.assertIn({"type": "REMOTE_SESSION_ENDED", "payload": {"reason": "engine_normal_exit"}},
                      got)
        self.assertIn("[exit-truth] announced REMOTE_SESSION_ENDED before graceful exit", msgs)
        acks = [g["payload"] for g in got if g["type"] == "REMOTE_SESSION_CONFIG_ACK"]
        self.assertEqual(acks, [{"ok": False, "reason": "accessMode must be VIEW_ONLY or FULL_CONTROL"},
                                {"ok": True}])
        self.assertIn("[input] IPC access mode 'VIEW_ONLY' → injection DISABLED (view-only)", msgs)
        # With emitStatus on, the capture ladder (no display here) reports every 2 s.
        status = [g["payload"] for g in got if g["type"] == "REMOTE_SESSION_STATUS"]
        self.assertTrue(status)
        self.assertEqual((status[0]["captureBackend"], status[0]["captureBackendDetail"],
                          status[0]["peerConnected"]), ("none", "none", False))


if __name__ == "__main__":
    unittest.main()
