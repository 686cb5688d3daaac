"""Remote terminals in a live session: the reference viewer in headless
Chromium drives real shells on pseudo terminals of the host.

One terminal-only engine without any X display serves the panel's terminal
and raw control-message terminals (sizes, environment, "exit", replacement,
input to a shell that does not read, 50 MB of output with the engine's memory
bounded while control replies keep coming, nothing left after stop); a
normal engine is then switched to view-only by the service's
REMOTE_SESSION_CONFIG. Runs inside a private network namespace (as root).
"""
import json
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "browser", "terminal_session.js")
BULK = 50000000
XTERM = os.path.join(kvdtest.ROOT, "tools", "viewer", "node_modules", "@xterm", "xterm")


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY and os.path.isdir(XTERM),
                     kvdtest.BROWSER_SKIP_REASON + " (with @xterm/xterm)")
class TerminalSessionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kvdtest.TempDir()
        tmp = cls.tmp.__enter__()
        with kvdtest.Xvfb(800, 600) as x:
            proc = subprocess.run(
                ["node", DRIVER, "--engine", kvdtest.BINARY, "--log-dir", tmp, "--display", x.display,
                 "--bulk-bytes", str(BULK)],
                stdout=subprocess.PIPE, timeout=240, env=kvdtest.clean_env())
        lines = [l for l in proc.stdout.decode().splitlines() if l.startswith("{")]
        cls.result = json.loads(lines[-1]) if lines else {"ok": False, "error": "no result"}
        cls.logs = {}
        for n in (1, 2):
            try:
                with open(os.path.join(tmp, f"engine{n}.log"), encoding="utf-8",
                          errors="replace") as f:
                    cls.logs[n] = f.read()
            except OSError:
                cls.logs[n] = ""

    @classmethod
    def tearDownClass(cls):
        cls.tmp.__exit__(None, None, None)

    def setUp(self):
        r = self.result
        self.assertTrue(r.get("ok"), f"{r.get('error')}\n{self.logs[1][-3000:]}\n{self.logs[2][-2000:]}")

    def test_terminal_only_session_serves_the_panel_without_a_display(self):
        r = self.result
        self.assertTrue(r["panelEndedText"])
        self.assertGreater(r["panelSize"]["cols"], 80)  # fitted to the wide panel, not the default
        self.assertEqual(r["errors1"], [])
        self.assertIn("--terminal-only: skipping screen capture / video encode", self.logs[1])
        self.assertNotIn("Screen capture:", self.logs[1])
        self.assertEqual(r["exit1"], {"code": 0, "signal": None})

    def test_sizes_environment_and_exit(self):
        r = self.result
        self.assertRegex(r["r1"], r"24 80\r\n0\r\n/[^\r\n]*\r\nQ1\r\n")
        self.assertIn("30 100\r\nQ2\r\n", r["r1resized"])
        child_exits = [s for s in r["stops1"] if s["reason"] == "child_exit"]
        # The panel's tab and r1 ended by "exit"; the stops sent later by the
        # viewer produced nothing.
        self.assertEqual(len(child_exits), 2, r["stops1"])
        self.assertEqual(len([s for s in child_exits if s["terminalId"] == "r1"]), 1)
        self.assertEqual(child_exits[-1], {"reason": "child_exit", "terminalId": "r1",
                                           "type": "terminal_stop"})

    def test_replacement_blocked_input_and_clean_stop(self):
        r = self.result
        self.assertTrue(r["replacedGone"])
        self.assertIsNotNone(r["blockedInputPingMs"])
        self.assertLess(r["blockedInputPingMs"], 2000)
        self.assertEqual(r["childrenAfterStop"], [])  # no shell, no zombie
        self.assertEqual(r["ptyDescriptorsAfterStop"], 0)

    def test_bulk_output_arrives_complete_with_bounded_memory(self):
        b = self.result["bulk"]
        # base64 of 50,000,000 zero bytes: 66,666,667 'A's, one '=', 76 per line.
        self.assertEqual(b["letters"], 66666667, b["tail"])
        self.assertIn("AAA=\r\nQ777\r\n", b["tail"])
        self.assertGreaterEqual(b["bytes"], 66666668 + 2 * 877193)
        self.assertLess(b["rssPeakKiB"] - b["rss0KiB"], 64 * 1024, b)
        self.assertGreater(b["pings"], 1)
        print(f"\nbulk: {b['mbPerSecond']:.1f} MB/s, engine CPU {b['cpuSeconds']:.1f} s, "
              f"RSS {b['rss0KiB']}->{b['rssPeakKiB']} KiB, slowest reply {b['pingMaxMs']:.0f} ms",
              file=sys.stderr)

    def test_view_only_switch_ends_terminals_and_refuses_new_ones(self):
        r = self.result
        self.assertEqual(r["viewOnlyAck"]["payload"], {"ok": True})
        self.assertGreaterEqual(r["childrenBeforeViewOnly"], 1)
        self.assertEqual(r["childrenAfterViewOnly"], [])
        self.assertEqual(r["stops2"], [{"reason": "policy_denied", "terminalId": "v2",
                                        "type": "terminal_stop"}])
        self.assertEqual(r["childrenAfterRefusal"], 0)
        self.assertIn("[terminal] start denied — not allowed for this session (view-only/policy)",
                      self.logs[2])
        self.assertEqual(r["exit2"], {"code": 0, "signal": None})


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
