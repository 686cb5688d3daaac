"""Hostile JSON from the relay service reaches the real engine: documents
nested 60,000 levels deep (a line of its own, and inside a signaling message)
and lines carrying the byte 0xFF. The engine logs each parse error, keeps
serving (a stop request afterwards is obeyed with exit code 0), and every line
of its log stays valid JSON."""
import json
import os
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

DEEP = b"[" * 60000 + b"]" * 60000


class HostileInputTest(unittest.TestCase):
    def test_deep_nesting_and_invalid_utf8_from_the_relay(self):
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
            f.write(b'{"type":"REMOTE_SESSION_CONFIG","payload":' + DEEP + b"}\n")
            inner = json.dumps({"type": "ice", "candidate": "x"})[:-1] + ',"x":' + DEEP.decode() + "}"
            f.write(json.dumps({"type": "SIGNALING_RECV", "payload": {"json": inner}}).encode() + b"\n")
            f.write(b'{"type":"\xff\xfe"}\n')
            f.write(b'{"type":"SIGNALING_RECV","payload":{"json":"{\\"a\\":\\"\xc3\\"}"}}\n')
            f.flush()
            time.sleep(1.0)
            f.write(b'{"type":"REMOTE_STOP_SESSION","payload":{"reason":"after the hostile lines"}}\n')
            f.flush()
            for line in f:
                got.append(line)
            conn.close()

        t = threading.Thread(target=relay, daemon=True)
        t.start()
        with kvdtest.TempDir() as tmp:
            pipes = os.path.join(tmp, "pipes")
            os.mkdir(pipes, 0o700)
            log_path = os.path.join(tmp, "engine.log")
            env = kvdtest.clean_env(KELVANDRUM_LOG_FILE=log_path, KELVANDRUM_SESSION_TOKEN="t",
                                    KELVANDRUM_LOG_LEVEL="info", KELVANDRUM_PIPE_DIR=pipes)
            env.pop("DISPLAY", None)
            proc = subprocess.Popen([kvdtest.BINARY, "--session-id", "hostile", "--pipe", str(port),
                                     "--terminal-only"], env=env, stdout=subprocess.PIPE)
            self.assertEqual(proc.stdout.readline(), b"KELVANDRUM_READY session_id=hostile\n")
            self.assertEqual(proc.wait(90), 0)
            t.join(5)
            listener.close()
            with open(log_path, "rb") as f:
                raw = f.read().splitlines()
        msgs = []
        for line in raw:
            msgs.append(json.loads(line.decode("utf-8"))["msg"])  # raises on an invalid line
        self.assertIn("[pipe-signaling] parse error: nesting deeper than 64 levels", msgs)
        self.assertIn("[pipe-signaling] malformed signaling JSON: nesting deeper than 64 levels", msgs)
        # Both lines with raw invalid bytes fail the relay's own parse; the
        # library quotes the byte, the log carries U+FFFD instead.
        bad = [m for m in msgs if m.startswith("[pipe-signaling] parse error: [json.exception.parse_error")]
        self.assertEqual(len(bad), 2, msgs[-20:])
        self.assertTrue(all("ill-formed UTF-8" in m and "\ufffd" in m for m in bad), bad)
        self.assertIn("[session] stop requested by agent over IPC, reason=after the hostile lines", msgs)
        self.assertIn("kelvandrum-remote stopped", msgs)


if __name__ == "__main__":
    unittest.main()
