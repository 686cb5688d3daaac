"""Faults of the processes around the engine, without a browser: the local
service's relay dies under a waiting engine."""
import json
import os
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402


class RelayDies(unittest.TestCase):
    def test_engine_sees_the_link_down_keeps_waiting_and_stops_cleanly(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        with kvdtest.TempDir() as tmp:
            log_path = os.path.join(tmp, "engine.log")
            env = kvdtest.clean_env(KELVANDRUM_LOG_FILE=log_path, KELVANDRUM_SESSION_TOKEN="t",
                                    KELVANDRUM_LOG_LEVEL="info", KELVANDRUM_ENGINE_EXIT_TRUTH="1")
            env.pop("DISPLAY", None)
            proc = subprocess.Popen([kvdtest.BINARY, "--session-id", "r1", "--pipe", str(port)],
                                    env=env, stdout=subprocess.PIPE)
            try:
                listener.settimeout(30)
                conn, _ = listener.accept()
                f = conn.makefile("rwb")
                self.assertEqual(json.loads(f.readline())["type"], "hello")
                f.write(b'{"type":"SIGNALING_CONNECTED","payload":{}}\n')
                f.flush()
                self.assertEqual(proc.stdout.readline(), b"KELVANDRUM_READY session_id=r1\n")
                # The service dies: its end of the link and its listener go.
                f.close()
                conn.close()
                listener.close()

                def log():
                    with open(log_path, encoding="utf-8") as lf:
                        return [json.loads(line)["msg"] for line in lf if line.strip()]

                self.assertTrue(kvdtest.wait_for(
                    lambda: "[pipe-signaling] reader thread exiting" in log(), 30), log()[-20:])
                self.assertIn("[pipe-signaling] TCP connection closed by service", log())
                # No viewer ever connected: no reconnect, no exit window; the
                # engine waits for its parent, neither crashing nor exiting.
                time.sleep(2)
                self.assertIsNone(proc.poll())
                proc.terminate()
                self.assertEqual(proc.wait(30), 0)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            msgs = log()
        self.assertIn("kelvandrum-remote stopped", msgs)
        self.assertNotIn("Signaling dropped mid-session — requesting reconnect", msgs)
        # The session end is not announced on a link that is down.
        self.assertFalse([m for m in msgs if m.startswith("[exit-truth] announced")], msgs)


if __name__ == "__main__":
    unittest.main()
