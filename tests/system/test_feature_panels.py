"""The clipboard, Wake-on-LAN and reboot panels of the reference viewer in
headless Chromium against the engine on Xvfb: host text reaches the viewer
(and its clipboard), viewer text reaches the host clipboard as xclip reads
it, nothing is echoed, the 65,535/65,536-byte outbound boundary, paste and
typing observed by an X client that records events, too-large text refused
in the viewer, a Wake-on-LAN sentence, a reboot through a replaced command.
A second session signals through a relay stand-in of the local service:
credential injection (typed only while the secure desktop is still shown),
the reboot delegated to the service, and clipboard sync switched off by the
service.

Runs inside a private network namespace (as root), like the other browser
tests.
"""
import json
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdtest  # noqa: E402
import test_live_session  # noqa: E402  (its Recorder)

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "browser", "feature_panels.js")


def xclip_in(display, data):
    # xclip keeps serving the selection in the background until replaced.
    subprocess.run(["xclip", "-i", "-selection", "clipboard", "-display", display],
                   input=data, check=True, timeout=10)


def xclip_out(display):
    r = subprocess.run(["xclip", "-o", "-selection", "clipboard", "-display", display],
                       capture_output=True, timeout=10)
    return r.stdout if r.returncode == 0 else None


class Driver:
    def __init__(self, display, log, relay=False, env=None, engine_args=()):
        cmd = ["node", DRIVER, "--engine", os.environ["KVD_BINARY"], "--display", display,
               "--log", log, "--engine-args", json.dumps(list(engine_args)),
               "--env", json.dumps(env or {})]
        if relay:
            cmd += ["--relay", "1"]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=kvdtest.clean_env())
        self.lock = threading.Lock()
        self.ready = self._line(60)

    def _line(self, timeout):
        result = {}

        def read():
            for line in self.proc.stdout:
                if line.startswith("{"):
                    result["v"] = json.loads(line)
                    return

        t = threading.Thread(target=read, daemon=True)
        t.start()
        t.join(timeout)
        if "v" not in result:
            raise AssertionError("the driver did not answer")
        return result["v"]

    def __call__(self, op, **kw):
        self.proc.stdin.write(json.dumps({"op": op, **kw}) + "\n")
        self.proc.stdin.flush()
        r = self._line(60)
        if not r.get("ok"):
            raise AssertionError(f"{op} {kw}: {r.get('error')}")
        return r.get("value")

    def finish(self):
        self.proc.stdin.write('{"op":"quit"}\n')
        self.proc.stdin.flush()
        out = [self._line(30), self._line(30)]
        self.proc.wait(20)
        return out

    def close(self):
        # Closing stdin ends the driver's loop: it stops the engine, the
        # browser and the server itself (a killed driver would orphan them).
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def read_log(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def typed(events):
    return "".join(e.get("text", "") for e in events if e.get("ev") == "key" and e.get("down"))


@unittest.skipUnless(kvdtest.IN_NETNS and kvdtest.BROWSER_READY and os.path.exists("/usr/bin/xclip"),
                     kvdtest.BROWSER_SKIP_REASON + ", and xclip")
class FeaturePanelsTest(unittest.TestCase):
    def run_session(self, steps, relay=False, env=None, engine_args=()):
        """Runs steps(driver, recorder, display, log) in one session; the engine's log after a
        clean exit."""
        with kvdtest.Xvfb(1024, 768) as x, kvdtest.TempDir() as tmp:
            rec = test_live_session.Recorder(x.display)
            log = os.path.join(tmp, "engine.log")
            env = {k: v.replace("{tmp}", tmp) for k, v in (env or {}).items()}
            d = Driver(x.display, log, relay=relay, env=env, engine_args=engine_args)
            try:
                self.assertEqual(d.ready.get("ev"), "ready", d.ready)
                for panel in ("clipboard", "wol", "power"):
                    self.assertIn(panel, d.ready["panels"])
                steps(d, rec, x.display, log, tmp)
                errors, exit_ = d.finish()
            finally:
                rec.close()
                d.close()
            engine_log = read_log(log)
        self.assertEqual(errors.get("errors"), [], errors)
        self.assertEqual(exit_["exit"], {"code": 0, "signal": None}, engine_log[-3000:])
        return engine_log, exit_

    def test_direct_session_clipboard_paste_wol_and_local_reboot(self):
        def steps(d, rec, display, log, tmp):
            marker = os.path.join(tmp, "rebooted")
            self.check_reboot_request(d)
            t_reboot = time.time()
            self.check_host_to_viewer(d, display, log)
            self.check_viewer_to_host(d, display, log)
            self.check_typing_and_paste(d, display, rec)
            self.check_wol(d)
            # The replaced command runs about 10 s after the request.
            self.assertTrue(kvdtest.wait_for(lambda: os.path.exists(marker), 20), read_log(log)[-2000:])
            self.assertGreaterEqual(time.time() - t_reboot, 8)

        engine_log, _ = self.run_session(steps, env={"KELVANDRUM_REBOOT_COMMAND": "echo done > {tmp}/rebooted"},
                                         engine_args=["--allow-wol"])
        # Sent once: the repeated copy of the same text was not.
        self.assertEqual(engine_log.count("[clipboard] local change -> viewer (24 bytes)"), 1)
        self.assertNotIn("set from viewer (200000 bytes)", engine_log)
        for line in ("[clipboard] listener started hwnd=", "[clipboard] listener stopped",
                     "[clipboard] set from viewer (40000 bytes) ok=true",
                     "[paste] method=keystrokes decided=keystrokes chars=5 ok=true",
                     "[paste] method=smart decided=clipboard chars=11 ok=true",
                     "[wol] magic packet broadcast for 00:1A:2B:3C:4D:5E",
                     "performCleanup: lock=false clipboard=true files=0 bytes=0 input=true",
                     "[reboot] (no service) shutdown /r scheduled in 10s"):
            self.assertIn(line, engine_log)

    def check_reboot_request(self, d):
        d("click", sel="#btn-power")
        d("click", sel="#power-reboot")
        d("click", sel="#power-cancel")  # a cancelled confirmation sends nothing
        d("click", sel="#power-reboot")
        d("click", sel="#power-confirm")
        ack = d("waitControl", type="remote_reboot_ack")
        self.assertEqual(ack, {"error": "", "executed": True, "safeMode": False,
                               "type": "remote_reboot_ack", "v": 1})
        d("waitText", sel="#power-result", contains="restart in about 10 seconds")
        self.assertEqual(d("eval", expr="window.kvdControlLog.filter(m => m.type === "
                                         "'remote_reboot_ack').length"), 1)

    def check_host_to_viewer(self, d, display, log):
        d("click", sel="#btn-clipboard")
        text = "h\u00e9llo from the host \u2603"
        xclip_in(display, text.encode())
        d("waitText", sel="#clipboard-host", contains=text)
        d("waitText", sel="#clipboard-status", contains="copied to your clipboard too")
        self.assertEqual(d("eval", expr="navigator.clipboard.readText()"), text)
        # The same text copied again is not sent again.
        xclip_in(display, text.encode())
        # 65,535 bytes go out; 65,536 are dropped as oversized.
        xclip_in(display, b"a" * 65535)
        msg = d("waitControl", type="clipboard_set")
        self.assertEqual(msg["size"], len(text.encode()))
        msg = d("waitControl", type="clipboard_set")
        self.assertEqual(msg["size"], 65535)
        xclip_in(display, b"b" * 65536)
        self.assertTrue(kvdtest.wait_for(
            lambda: "[clipboard] oversized payload (65536 bytes)" in read_log(log), 10))
        self.assertEqual(d("eval", expr="window.kvdControlLog.filter(m => m.type === "
                                         "'clipboard_set').length"), 2)

    def check_viewer_to_host(self, d, display, log):
        count = "window.kvdControlLog.filter(m => m.type === 'clipboard_set').length"
        before = d("eval", expr=count)
        for text in ("from the viewer \u2713", "x" * 40000):
            d("fill", sel="#clipboard-input", text=text)
            d("click", sel="#clipboard-send")
            self.assertTrue(kvdtest.wait_for(lambda: xclip_out(display) == text.encode(), 10),
                            read_log(log)[-1500:])
        time.sleep(1.0)
        # The engine's own writes are not sent back to the viewer.
        self.assertEqual(d("eval", expr=count), before)
        # A text that cannot travel in one control message is refused in words.
        d("fill", sel="#clipboard-input", text="z" * 200000)
        d("click", sel="#clipboard-send")
        status = d("waitText", sel="#clipboard-status", contains="Too large")
        self.assertIn("262144", status)
        time.sleep(0.5)
        self.assertEqual(xclip_out(display), b"x" * 40000)

    def check_typing_and_paste(self, d, display, rec):
        rec.drain()
        d("fill", sel="#clipboard-input", text="Ab1 z")
        d("click", sel="#clipboard-type")
        ack = d("waitControl", type="paste_text_ack")
        self.assertEqual(ack, {"methodUsed": "keystrokes", "ok": True, "type": "paste_text_ack", "v": 1})
        self.assertTrue(kvdtest.wait_for(lambda: typed(rec.events.queue) == "Ab1 z", 10),
                        rec.events.queue)
        rec.drain()
        d("eval", expr="window.kvdViewer.send('control', JSON.stringify({type: 'paste_text', "
                       "text: 'pasted text', method: 'smart'}))")
        ack = d("waitControl", type="paste_text_ack")
        self.assertEqual(ack["methodUsed"], "clipboard")
        self.assertTrue(ack["ok"])
        self.assertEqual(xclip_out(display), b"pasted text")
        events = kvdtest.wait_for(lambda: [e for e in rec.events.queue if e.get("ev") == "key"]
                                  if len(rec.events.queue) >= 4 else None, 10)
        keys = [(e["name"], e["down"]) for e in events if e.get("ev") == "key"]
        self.assertEqual(keys[:4], [("Control_L", True), ("v", True), ("v", False),
                                    ("Control_L", False)], keys)

    def check_wol(self, d):
        d("click", sel="#btn-wol")
        d("fill", sel="#wol-mac", text="00:1A:2B:3C:4D:5E")
        d("click", sel="#wol-send")
        res = d("waitControl", type="wol_result")
        self.assertTrue(res["sent"], res)
        d("waitText", sel="#wol-result", contains="Magic packet sent for 00:1A:2B:3C:4D:5E.")
        d("fill", sel="#wol-mac", text="00:1A:2B")
        d("click", sel="#wol-send")
        d("waitText", sel="#wol-result", contains="The target MAC address is malformed.")

    def test_relay_session_credential_injection_and_delegated_reboot(self):
        def steps(d, rec, display, log, tmp):
            send = ("window.kvdViewer.send('control', JSON.stringify({type: 'credential_inject', "
                    "ticket: 'TICKET-7'}))")
            d("eval", expr=send)
            ack = d("waitControl", type="credential_inject_ack")
            self.assertEqual(ack["reason"], "secure_desktop_required")

            self.set_desktop(display, "Winlogon")
            self.assertTrue(kvdtest.wait_for(
                lambda: "secure desktop entered: Winlogon" in read_log(log), 10))
            time.sleep(0.5)
            rec.drain()
            d("eval", expr=send)
            redeem = self.relay_line(d, "REMOTE_CREDENTIAL_REDEEM")
            self.assertEqual(redeem["payload"], {"sessionId": "panels-1", "ticket": "TICKET-7"})
            d("relaySend", type="REMOTE_CREDENTIAL_INJECT",
              payload={"ok": True, "text": "Zq9-secret"})
            ack = d("waitControl", type="credential_inject_ack")
            self.assertEqual(ack, {"ok": True, "type": "credential_inject_ack", "v": 1})
            self.assertTrue(kvdtest.wait_for(lambda: typed(rec.events.queue) == "Zq9-secret", 10),
                            rec.events.queue)

            # The secure desktop closed while the service redeemed: nothing typed.
            d("eval", expr=send)
            self.relay_line(d, "REMOTE_CREDENTIAL_REDEEM")
            self.set_desktop(display, None)
            self.assertTrue(kvdtest.wait_for(
                lambda: "secure desktop exited -> Default" in read_log(log), 10))
            time.sleep(0.5)
            rec.drain()
            d("relaySend", type="REMOTE_CREDENTIAL_INJECT",
              payload={"ok": True, "text": "Zq9-second"})
            ack = d("waitControl", type="credential_inject_ack")
            self.assertEqual(ack, {"ok": False, "reason": "secure_desktop_required",
                                   "type": "credential_inject_ack", "v": 1})
            time.sleep(0.5)
            self.assertEqual(typed(rec.events.queue), "")

            # The service turns clipboard sync off: neither direction passes.
            d("relaySend", type="REMOTE_SESSION_CONFIG", payload={"allowClipboard": False})
            self.assertEqual(self.relay_line(d, "REMOTE_SESSION_CONFIG_ACK")["payload"], {"ok": True})
            xclip_in(display, b"secret host text")
            self.assertTrue(kvdtest.wait_for(
                lambda: "[clipboard] policy rejected local change (16 bytes)" in read_log(log), 10))
            d("click", sel="#btn-clipboard")
            d("fill", sel="#clipboard-input", text="viewer text")
            d("click", sel="#clipboard-send")
            self.assertTrue(kvdtest.wait_for(
                lambda: "[clipboard] parseInbound failed for type=clipboard_set" in read_log(log), 10))
            self.assertEqual(xclip_out(display), b"secret host text")
            self.assertEqual(d("eval", expr="window.kvdControlLog.filter(m => m.type === "
                                             "'clipboard_set').length"), 0)

            d("click", sel="#btn-power")
            d("click", sel="#power-safe")
            d("click", sel="#power-reboot")
            d("click", sel="#power-confirm")
            reboot = self.relay_line(d, "REMOTE_REBOOT")
            self.assertEqual(reboot["payload"], {"delaySeconds": 10, "safeMode": True})
            d("waitText", sel="#power-result", contains="safe mode requested")

        engine_log, _ = self.run_session(steps, relay=True)
        self.assertIn("[credential-inject] ticket forwarded to service", engine_log)
        self.assertIn("[reboot] delegated REMOTE_REBOOT to service (safeMode=true)", engine_log)
        self.assertNotIn("Zq9", engine_log)

    @staticmethod
    def set_desktop(display, name):
        base = ["xprop", "-display", display, "-root"]
        if name is None:
            subprocess.run(base + ["-remove", "_KVD_INPUT_DESKTOP"], check=True)
        else:
            subprocess.run(base + ["-f", "_KVD_INPUT_DESKTOP", "8s", "-set", "_KVD_INPUT_DESKTOP", name],
                           check=True)

    def relay_line(self, d, type_):
        found = []

        def look():
            found.extend(m for m in d("relayLines") if m.get("type") == type_)
            return found

        self.assertTrue(kvdtest.wait_for(look, 10), type_)
        return found[0]


if __name__ == "__main__":
    kvdtest.browser_test_main(__file__, sys.argv)
